#include "ui/RangeEdit.h"

#include <QFocusEvent>
#include <QTimer>
#include <cmath>

#include "platform/Prompter.h"

namespace bhv::ui {

QString FormatNumber(double value) {
    if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 1e9)
        return QString::number(static_cast<long long>(value));
    return QString::number(value, 'g', 6);
}

QString RangeMessage(double minimum, double maximum) {
    return QStringLiteral("请输入一个介于 %1 和 %2 之间的数字")
        .arg(FormatNumber(minimum), FormatNumber(maximum));
}

QString RangeMessage(const InputRange& range) {
    return RangeMessage(range.minimum, range.maximum);
}

std::optional<double> ParseInRange(const QString& text, double minimum, double maximum,
                                   bool integer) {
    const QString trimmed = text.trimmed();
    bool ok = false;
    double value = 0;
    if (integer) {
        const long long whole = trimmed.toLongLong(&ok);
        value = static_cast<double>(whole);
    } else {
        // The "C" locale's decimal point, whatever the desktop's locale says.
        value = trimmed.toDouble(&ok);
    }
    if (!ok || !std::isfinite(value) || value < minimum || value > maximum) return std::nullopt;
    return value;
}

RangeEdit::RangeEdit(Prompter& prompter, const InputRange& range, const QString& objectName,
                     QWidget* parent)
    : QLineEdit(parent),
      prompter_(prompter),
      minimum_(range.minimum),
      maximum_(range.maximum),
      integer_(range.integer) {
    setObjectName(objectName);
}

void RangeEdit::SetValue(double value) {
    setText(FormatNumber(value));
}

bool RangeEdit::Commit() {
    const std::optional<double> value = ParseInRange(text(), minimum_, maximum_, integer_);
    if (value) {
        emit committed(*value);
        return true;
    }
    const QString message = refusal_.isEmpty() ? RangeMessage(minimum_, maximum_) : refusal_;
    prompter_.Tell(message.toStdWString());
    // Back into the edit once the focus change that brought us here has finished.
    QTimer::singleShot(0, this, [this] {
        setFocus(Qt::OtherFocusReason);
        selectAll();
    });
    return false;
}

void RangeEdit::CommitIfValid() {
    if (const auto value = ParseInRange(text(), minimum_, maximum_, integer_))
        emit committed(*value);
}

void RangeEdit::focusOutEvent(QFocusEvent* event) {
    QLineEdit::focusOutEvent(event);
    // Only a move to another control counts: a window that loses the activation (a message box
    // opening, another program) leaves the edit's value alone.
    const Qt::FocusReason reason = event->reason();
    if (reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason) return;
    if (isReadOnly() || !isEnabled()) return;
    Commit();
}

}  // namespace bhv::ui
