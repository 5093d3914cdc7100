#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <deque>
#include <memory>
#include <vector>

#include "platform/Prompter.h"

class QWidget;

namespace bhv::ui {

// Message boxes of the program: a QMessageBox over the main window, with the application title
// as the caption unless the caller gives one. The box is modal to the whole application but
// has no event loop of its own: it is shown and the call returns; the answer arrives through
// the box's finished signal. Boxes asked while one is open wait behind it, in order.
class QtPrompter : public Prompter {
public:
    QtPrompter(QWidget* parent, QString title);
    ~QtPrompter() override;
    void SetParent(QWidget* parent) { parent_ = parent; }

    void Ask(const std::wstring& text, PromptButtons buttons, const std::wstring& caption,
             const PromptStyle& style, Answered answered) override;
    void WhenNoBox(std::function<void()> then) override;

    // The box on screen, if any (tests, the scripted operator).
    QMessageBox* OpenBox() const { return open_; }

private:
    struct Request {
        std::wstring text;
        PromptButtons buttons;
        std::wstring caption;
        PromptStyle style;
        Answered answered;
    };
    void ShowNext();
    void Answer(QMessageBox* box, const Request& request, int result);

    QWidget* parent_;
    QString title_;
    std::deque<Request> waiting_;
    QPointer<QMessageBox> open_;
    std::vector<std::function<void()>> whenNoBox_;
    // Cleared when the prompter goes: a box closed after that answers nobody.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace bhv::ui
