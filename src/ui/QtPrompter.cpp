#include "ui/QtPrompter.h"

#include <QAbstractButton>
#include <QMessageBox>

namespace bhv::ui {

QtPrompter::QtPrompter(QWidget* parent, QString title)
    : parent_(parent), title_(std::move(title)) {}

QtPrompter::~QtPrompter() {
    *alive_ = false;
    if (open_) open_->deleteLater();
}

void QtPrompter::Ask(const std::wstring& text, PromptButtons buttons, const std::wstring& caption,
                     const PromptStyle& style, Answered answered) {
    waiting_.push_back({text, buttons, caption, style, std::move(answered)});
    if (!open_) ShowNext();
}

void QtPrompter::WhenNoBox(std::function<void()> then) {
    if (!open_ && waiting_.empty()) {
        then();
        return;
    }
    whenNoBox_.push_back(std::move(then));
}

void QtPrompter::ShowNext() {
    if (waiting_.empty()) {
        // Each call may ask again or close the window: taken out first.
        for (auto& then : std::exchange(whenNoBox_, {})) then();
        return;
    }
    Request request = std::move(waiting_.front());
    waiting_.pop_front();

    auto* box = new QMessageBox(parent_);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setObjectName("messageBox");
    box->setWindowModality(Qt::ApplicationModal);
    box->setWindowTitle(request.caption.empty() ? title_
                                                : QString::fromStdWString(request.caption));
    box->setText(QString::fromStdWString(request.text));
    PromptIcon icon = request.style.icon;
    if (icon == PromptIcon::Default)
        icon = request.buttons == PromptButtons::YesNo ? PromptIcon::Question
                                                       : PromptIcon::Information;
    switch (icon) {
        case PromptIcon::Warning:
            box->setIcon(QMessageBox::Warning);
            break;
        case PromptIcon::Question:
            box->setIcon(QMessageBox::Question);
            break;
        default:
            box->setIcon(QMessageBox::Information);
            break;
    }
    switch (request.buttons) {
        case PromptButtons::Ok:
            box->setStandardButtons(QMessageBox::Ok);
            break;
        case PromptButtons::OkCancel:
            box->setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
            break;
        case PromptButtons::YesNo:
            box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            break;
    }
    switch (request.style.defaultButton) {
        case PromptAnswer::Cancel:
            box->setDefaultButton(QMessageBox::Cancel);
            break;
        case PromptAnswer::No:
            box->setDefaultButton(QMessageBox::No);
            break;
        case PromptAnswer::Yes:
            box->setDefaultButton(QMessageBox::Yes);
            break;
        default:
            break;
    }
    open_ = box;
    QObject::connect(box, &QMessageBox::finished, box,
                     [this, alive = alive_, box, request = std::move(request)](int result) {
                         if (*alive) Answer(box, request, result);
                     });
    box->show();
}

void QtPrompter::Answer(QMessageBox* box, const Request& request, int result) {
    PromptAnswer answer = PromptAnswer::Ok;
    switch (result) {
        case QMessageBox::Cancel:
            answer = PromptAnswer::Cancel;
            break;
        case QMessageBox::Yes:
            answer = PromptAnswer::Yes;
            break;
        case QMessageBox::No:
            answer = PromptAnswer::No;
            break;
        default:
            // Closed by the window's own close button: the escape button's answer.
            if (request.buttons == PromptButtons::OkCancel && box->clickedButton() == nullptr)
                answer = PromptAnswer::Cancel;
            break;
    }
    open_ = nullptr;
    const std::shared_ptr<bool> alive = alive_;
    if (request.answered) request.answered(answer);
    // The answer may have asked again (shown at once when nothing else waits) or ended the
    // prompter's owner.
    if (*alive && !open_) ShowNext();
}

}  // namespace bhv::ui
