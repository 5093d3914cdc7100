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

TEST(LayoutTest, ProportionsFollowTheWindowsQuarters) {
    for (const QSize client : kClients) {
        const MainLayout l = ComputeMainLayout(client, 1440, 1080);
        const int w = client.width(), band = client.height() * 9 / 10;
        // The video stays in the left half, the panel starts at the half, the run views in the
        // fourth quarter, the button row below the band.
        EXPECT_LE(l[MainPart::Video].right(), w / 2);
        EXPECT_NEAR(l[MainPart::ControlPanel].left(), w / 2, 1);
        EXPECT_NEAR(l[MainPart::ControlPanel].bottom(), band * 6 / 10, 2);
        EXPECT_NEAR(l[MainPart::Attitude].right(), w * 3 / 4, 2);
        EXPECT_EQ(l[MainPart::DepthRuler].width(), 48);
        // The quality strip sits between the ruler and the image, as high as both; the image
        // gives up the strip's width and nothing else moves.
        const QRect strip = l[MainPart::QualityStrip];
        EXPECT_GT(strip.left(), l[MainPart::DepthRuler].right());
        EXPECT_LT(strip.right(), l[MainPart::UnrolledImage].left());
        EXPECT_EQ(strip.top(), l[MainPart::DepthRuler].top());
        EXPECT_EQ(strip.bottom(), l[MainPart::DepthRuler].bottom());
        EXPECT_GE(strip.width(), 3);
        EXPECT_NEAR(l[MainPart::UnrolledImage].left(), w * 3 / 4 + 50 + kQualityStripWidth, 1);
        EXPECT_EQ(l[MainPart::UnrolledImage].right(), l[MainPart::UploadBar].right());
        EXPECT_NEAR(l[MainPart::UploadBar].bottom(), band, 2);
        EXPECT_GE(l.buttons[0].top(), band);
        // The video keeps the working frame's 4:3 within a pixel.
        const QRect video = l[MainPart::Video];
        EXPECT_NEAR(video.width() * 3.0 / 4.0, video.height(), 1.0);
    }
}

}  // namespace
}  // namespace bhv::ui
