#include "ui/QtPrompter.h"

#include <QMessageBox>

namespace bhv::ui {

PromptAnswer QtPrompter::Show(const std::wstring& text, PromptButtons buttons,
                              const std::wstring& caption) {
    PromptStyle style;
    style.icon = PromptIcon::Information;
    if (buttons == PromptButtons::YesNo) style.icon = PromptIcon::Question;
    return ShowStyled(text, buttons, caption, style);
}

PromptAnswer QtPrompter::ShowStyled(const std::wstring& text, PromptButtons buttons,
                                    const std::wstring& caption, const PromptStyle& style) {
    QMessageBox box(parent_);
    box.setWindowTitle(caption.empty() ? title_ : QString::fromStdWString(caption));
    box.setText(QString::fromStdWString(text));
    switch (style.icon) {
        case PromptIcon::Warning:
            box.setIcon(QMessageBox::Warning);
            break;
        case PromptIcon::Question:
            box.setIcon(QMessageBox::Question);
            break;
        default:
            box.setIcon(QMessageBox::Information);
            break;
    }
    switch (buttons) {
        case PromptButtons::Ok:
            box.setStandardButtons(QMessageBox::Ok);
            break;
        case PromptButtons::OkCancel:
            box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
            break;
        case PromptButtons::YesNo:
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            break;
    }
    switch (style.defaultButton) {
        case PromptAnswer::Cancel:
            box.setDefaultButton(QMessageBox::Cancel);
            break;
        case PromptAnswer::No:
            box.setDefaultButton(QMessageBox::No);
            break;
        case PromptAnswer::Yes:
            box.setDefaultButton(QMessageBox::Yes);
            break;
        default:
            break;
    }
    box.setObjectName("messageBox");
    switch (box.exec()) {
        case QMessageBox::Cancel:
            return PromptAnswer::Cancel;
        case QMessageBox::Yes:
            return PromptAnswer::Yes;
        case QMessageBox::No:
            return PromptAnswer::No;
        default:
            return buttons == PromptButtons::OkCancel && box.clickedButton() == nullptr
                       ? PromptAnswer::Cancel
                       : PromptAnswer::Ok;
    }
}

}  // namespace bhv::ui
