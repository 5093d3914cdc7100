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
// loop); the caller then opens the dialog. Each poll that finds no dialog yet schedules a copy
// of itself: nothing refers back to itself, so nothing outlives the last poll.
template <typename T>
class ModalPoll {
public:
    explicit ModalPoll(std::function<void(T*)> action) : action_(std::move(action)) {}
    void operator()() const {
        if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
            action_(dialog);
            return;
        }
        QTimer::singleShot(10, *this);
    }

private:
    std::function<void(T*)> action_;
};

template <typename T>
void WhenModalOpens(std::function<void(T*)> action) {
    QTimer::singleShot(0, ModalPoll<T>(std::move(action)));
}

}  // namespace bhv::test
