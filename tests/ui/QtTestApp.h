#pragma once

// The Qt side of the window tests: the one QApplication of the test program, and waiting on a
// condition while the event loop runs.

#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>

namespace bhv::test {

// Runs the event loop until `condition` holds or `timeoutMs` passed; the condition's value.
inline bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 10000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// Runs `action` on the modal dialog of type T once it is open (from inside its own event
// loop); the caller then opens the dialog.
template <typename T>
void WhenModalOpens(std::function<void(T*)> action) {
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [action, poll] {
        if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
            action(dialog);
            return;
        }
        QTimer::singleShot(10, *poll);
    };
    QTimer::singleShot(0, *poll);
}

}  // namespace bhv::test
