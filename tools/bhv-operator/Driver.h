#pragma once

#include <QString>
#include <QWidget>
#include <functional>

class QComboBox;
class QLineEdit;

// What the scripted operator does with its hands and eyes, for both of its scripts (the run and
// the documentation's screenshots): the one wait on the window's events, the lines it prints,
// and a person's clicks and keys on the main window.
namespace bhv::op {

// Prints one line of the operator's output at once (UTF-8).
void Say(const QString& text);

// Processes the window's events for `ms`, sleeping while none come.
void PumpEvents(int ms);
// Processes the window's events until `condition` holds or `timeoutMs` passes; false on time-out.
bool WaitFor(const std::function<bool()>& condition, int timeoutMs);
// Processes the window's events for `ms`.
void Settle(int ms);

// Calls `act` with the modal dialog that the next call opens (within `timeoutMs`), from inside
// that dialog's own event loop; `act` must close it. Nothing happens when no dialog opens.
void WhenModalOpens(std::function<void(QWidget* dialog)> act, int timeoutMs = 5000);

// Saves a PNG of `widget`; true when saved.
bool SavePng(QWidget* widget, const QString& path);

// The operator's hands on one window.
class WindowDriver {
public:
    explicit WindowDriver(QWidget& window) : window_(window) {}

    // The child widget named `name`; null (and said) when there is none.
    template <typename T>
    T* Find(const char* name) const {
        T* widget = window_.findChild<T*>(QString::fromLatin1(name));
        if (!widget) Say(QStringLiteral("bhv-operator: no widget %1").arg(name));
        return widget;
    }

    // A mouse click where a person clicks (a check box on its box); false for a missing or
    // disabled widget.
    bool Click(QWidget* widget) const;
    // Types into a line edit as a person does: click into it, delete what is there, type.
    void Type(QLineEdit* edit, const QString& text) const;
    // Picks an entry of a combo box through its popup list.
    void Choose(QComboBox* box, int index) const;

private:
    QWidget& window_;
};

}  // namespace bhv::op
