#pragma once

#include <QString>

#include "platform/Prompter.h"

class QWidget;

namespace bhv::ui {

// Message boxes of the program: a modal QMessageBox over the main window, with the
// application title as the caption unless the caller gives one.
class QtPrompter : public Prompter {
public:
    QtPrompter(QWidget* parent, QString title) : parent_(parent), title_(std::move(title)) {}
    void SetParent(QWidget* parent) { parent_ = parent; }

    PromptAnswer Show(const std::wstring& text, PromptButtons buttons,
                      const std::wstring& caption) override;
    PromptAnswer ShowStyled(const std::wstring& text, PromptButtons buttons,
                            const std::wstring& caption, const PromptStyle& style) override;

private:
    QWidget* parent_;
    QString title_;
};

}  // namespace bhv::ui
