#include "Driver.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdio>

namespace bhv::op {

void Say(const QString& text) {
    std::printf("%s\n", text.toUtf8().constData());
    std::fflush(stdout);
}

void PumpEvents(int ms) {
    // A loop of its own that sleeps until an event comes, as the program's main loop does:
    // processEvents() returns at once when nothing is pending, and a loop around it would spin
    // on the window thread and be counted as the program's CPU.
    QEventLoop loop;
    QTimer::singleShot(std::max(ms, 0), Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        PumpEvents(
            static_cast<int>(std::min<qint64>(10, std::max<qint64>(deadline.remainingTime(), 0))));
    }
    return true;
}

void Settle(int ms) {
    WaitFor([] { return false; }, ms);
}

void WhenModalOpens(std::function<void(QWidget* dialog)> act, int timeoutMs) {
    QTimer::singleShot(0, [act = std::move(act), timeoutMs] {
        QWidget* dialog = nullptr;
        if (WaitFor([&] { return (dialog = QApplication::activeModalWidget()) != nullptr; },
                    timeoutMs))
            act(dialog);
    });
}

bool SavePng(QWidget* widget, const QString& path) {
    return widget && widget->grab().save(path);
}

bool WindowDriver::Click(QWidget* widget) const {
    if (!widget) return false;
    if (!widget->isEnabled()) {
        Say(QStringLiteral("  (%1 is disabled)").arg(widget->objectName()));
        return false;
    }
    // A check box reacts on its box and caption only, at its left end.
    auto* box = qobject_cast<QCheckBox*>(widget);
    const QPoint at = box ? QPoint(8, widget->height() / 2) : widget->rect().center();
    const bool wasChecked = box && box->isChecked();
    QTest::mouseClick(widget, Qt::LeftButton, {}, at);
    QCoreApplication::processEvents();
    if (box && box->isChecked() == wasChecked) {
        // The click did not reach the box (its window not yet active): the button's own click,
        // which emits the same signal.
        Say(QStringLiteral("  (%1: mouse click missed; clicked through the button)")
                .arg(box->objectName()));
        box->click();
    }
    return true;
}

void WindowDriver::Type(QLineEdit* edit, const QString& text) const {
    if (!edit) return;
    QTest::mouseClick(edit, Qt::LeftButton);
    if (!edit->hasFocus()) edit->setFocus(Qt::MouseFocusReason);
    QTest::keyClick(edit, Qt::Key_End);
    for (int i = edit->text().size(); i > 0; --i) QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, text);
}

void WindowDriver::Choose(QComboBox* box, int index) const {
    if (!box) return;
    QTest::mouseClick(box, Qt::LeftButton);
    QAbstractItemView* view = box->view();
    if (WaitFor([&] { return view->isVisible(); }, 2000)) {
        Settle(200);
        const QRect item = view->visualRect(box->model()->index(index, 0));
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, item.center());
        WaitFor([&] { return !view->isVisible(); }, 2000);
    }
}

}  // namespace bhv::op
