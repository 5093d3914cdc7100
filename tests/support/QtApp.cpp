#include "QtApp.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTest>
#include <cstdlib>
#include <memory>

namespace bhv::test {
namespace {

int argc = 1;
char name[] = "bhv_widget_tests";
char* argv[] = {name, nullptr};
std::unique_ptr<QApplication> app;

// The application lives from before the first test to after the last, and ends before the
// program's static objects go.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override { App(); }
    void TearDown() override { app.reset(); }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

QApplication& App() {
    if (!app) app = std::make_unique<QApplication>(argc, argv);
    return *app;
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

bool ShowAt(QWidget& widget, int width, int height) {
    App();
    widget.resize(width, height);
    widget.show();
    return QTest::qWaitForWindowExposed(&widget);
}

int CountInk(const QImage& image, const QRect& area, QColor background, int tolerance) {
    const QRect clipped = area.intersected(image.rect());
    int ink = 0;
    for (int y = clipped.top(); y <= clipped.bottom(); ++y) {
        for (int x = clipped.left(); x <= clipped.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (std::abs(c.red() - background.red()) > tolerance ||
                std::abs(c.green() - background.green()) > tolerance ||
                std::abs(c.blue() - background.blue()) > tolerance)
                ++ink;
        }
    }
    return ink;
}

}  // namespace bhv::test
