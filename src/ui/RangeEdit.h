#pragma once

// An edit that refuses numbers outside its range the way the panels always did, with the
// standard message and the focus kept in the edit, and the number checks and formatting it
// shares with the dialogs.

#include <QLineEdit>
#include <QString>
#include <optional>

#include "controller/InputRanges.h"

namespace bhv {
class Prompter;
}

namespace bhv::ui {

// "请输入一个介于 70 和 500 之间的数字": the standard message for a number outside its range.
QString RangeMessage(double minimum, double maximum);
QString RangeMessage(const InputRange& range);

// The number in `text` when it is one and lies within [minimum, maximum]; whole numbers only
// when `integer` is set. Surrounding blanks are allowed.
std::optional<double> ParseInRange(const QString& text, double minimum, double maximum,
                                   bool integer);

// An edit for a number within a range. When the edit loses the focus to another control its
// text is checked: a number within the range is reported with committed(); anything else shows
// RangeMessage through the prompter and puts the focus back into the edit, text selected.
class RangeEdit : public QLineEdit {
    Q_OBJECT
public:
    RangeEdit(Prompter& prompter, const InputRange& range, const QString& objectName,
              QWidget* parent);

    void SetValue(double value);
    // The message for a refused entry, when not the range message (an edit whose only limit is
    // the type: "请输入一个整数。").
    void SetRefusalMessage(const QString& message) { refusal_ = message; }
    // Checks the text as losing the focus does; true when it was accepted.
    bool Commit();
    // Reports the value without any message when the text is valid (a dialog that closes).
    void CommitIfValid();

signals:
    void committed(double value);

protected:
    void focusOutEvent(QFocusEvent* event) override;

private:
    Prompter& prompter_;
    double minimum_, maximum_;
    bool integer_;
    QString refusal_;
};

// Formats a number as the panels show it: whole numbers without decimals, others with up to
// six significant digits ("%g").
QString FormatNumber(double value);

}  // namespace bhv::ui
