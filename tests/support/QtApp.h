#pragma once

// The Qt side of the widget tests: the one QApplication of the test program (made before the
// first test and destroyed after the last; the test main has set the offscreen platform and the
// temporary HOME by then), waiting on a condition while the event loop runs, showing a widget,
// counting ink in a grab, and acting on a modal dialog once it is open.

#include <QApplication>
#include <QImage>
#include <QRect>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace bhv::test {

QApplication& App();

// Runs the event loop until `condition` holds or `timeoutMs` passed; the condition's value.
bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 10000);

// Shows a top-level widget at a fixed size and waits until it is exposed.
bool ShowAt(QWidget& widget, int width, int height);

// Pixels of `image` inside `area` that differ from `background` by more than `tolerance` in
// any channel.
int CountInk(const QImage& image, const QRect& area, QColor background, int tolerance = 60);

// Runs `action` on the modal dialog of type T once it is open; the caller then opens the
// dialog (which returns at once: no dialog of the program has an event loop of its own) and
// waits with WaitForNoModal. Each poll that finds no dialog yet schedules a copy
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

// Runs the event loop until no modal dialog or message box is open; false after `timeoutMs`.
inline bool WaitForNoModal(int timeoutMs = 10000) {
    return WaitFor([] { return QApplication::activeModalWidget() == nullptr; }, timeoutMs);
}

}  // namespace bhv::test
