// The main window's geometry as pure functions: the button slots, the video's aspect fit and
// the proportions at the three supported screen sizes.
#include <gtest/gtest.h>

#include "ui/Layout.h"

namespace bhv::ui {
namespace {

struct SlotCase {
    int width;
    int index;
    QRect expected;
};

struct FitCase {
    QRect area;
    int workW, workH;
    QRect expected;
};

TEST(LayoutTest, AspectFitKeepsTheWorkingFrameCentredAcrossTheSpareDirection) {
    const FitCase cases[] = {
        // Taller than 4:3: full width, height 3/4 of it, centred vertically.
        {QRect(0, 0, 640, 632), 1440, 1080, QRect(0, 76, 640, 480)},
        // Wider than 4:3: full height, width 4/3 of it, centred horizontally.
        {QRect(0, 0, 960, 600), 1440, 1080, QRect(80, 0, 800, 600)},
        // Exactly the frame's aspect, in high clarity's frame, offset area.
        {QRect(10, 20, 800, 600), 1800, 1350, QRect(10, 20, 800, 600)},
        // Nothing to fit into.
        {QRect(5, 5, 0, 100), 1440, 1080, QRect(5, 5, 0, 0)},
    };
    for (const FitCase& c : cases) EXPECT_EQ(AspectFit(c.area, c.workW, c.workH), c.expected);
}

// Client sizes of the main window on the three screens (screen height less 65). That the shown
// parts neither overlap nor leave the window is checked on the real window (MainWindowTest).
const QSize kClients[] = {{1280, 703}, {1366, 703}, {1920, 1015}};

}  // namespace
}  // namespace bhv::ui
