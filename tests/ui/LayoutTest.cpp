// The main window's geometry as pure functions: the button slots, the video's aspect fit and
// the rectangles of both run states at the three supported screen sizes.
#include <gtest/gtest.h>

#include "ui/Layout.h"

namespace bhv::ui {
namespace {

struct SlotCase {
    int width;
    int index;
    QRect expected;
};

TEST(LayoutTest, ButtonSlotsAreEqualSlotsFromSevenPixelsEachFiveNarrower) {
    const SlotCase cases[] = {
        {1280, 0, QRect(7, 633, 206, 56)},  // slot (1280 - 9) / 6 = 211
        {1280, 5, QRect(7 + 5 * 211, 633, 206, 56)},
        {1366, 3, QRect(7 + 3 * 226, 633, 221, 56)},  // slot 226 (1357 / 6, truncated)
        {1920, 5, QRect(7 + 5 * 318, 633, 313, 56)},  // slot 318
    };
    for (const SlotCase& c : cases)
        EXPECT_EQ(ButtonSlot(c.width, 626, 70, c.index), c.expected)
            << "width " << c.width << " index " << c.index;
}

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

TEST(LayoutTest, EachRunStateShowsItsOwnParts) {
    const struct {
        MainPart part;
        bool noRun, run;
    } cases[] = {
        {MainPart::Video, true, true},          {MainPart::ControlPanel, true, false},
        {MainPart::MoveChart, false, true},     {MainPart::VertChart, false, true},
        {MainPart::Attitude, true, true},       {MainPart::DepthRuler, false, true},
        {MainPart::UnrolledImage, false, true}, {MainPart::PrevPage, false, true},
        {MainPart::NextPage, false, true},      {MainPart::InfoPanel, true, true},
        {MainPart::UploadBar, true, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ShownIn(c.part, LayoutMode::NoRun), c.noRun) << MainPartName(c.part);
        EXPECT_EQ(ShownIn(c.part, LayoutMode::Run), c.run) << MainPartName(c.part);
    }
}

// Client sizes of the main window on the three screens (screen height less 65).
const QSize kClients[] = {{1280, 703}, {1366, 703}, {1920, 1015}};

TEST(LayoutTest, ShownPartsNeitherOverlapNorLeaveTheClientInBothRunStates) {
    for (const QSize client : kClients) {
        const MainLayout layout = ComputeMainLayout(client, 1440, 1080);
        for (const LayoutMode mode : {LayoutMode::NoRun, LayoutMode::Run}) {
            std::vector<std::pair<std::string, QRect>> shown;
            for (int i = 0; i < kMainPartCount; ++i) {
                const auto part = static_cast<MainPart>(i);
                if (ShownIn(part, mode)) shown.emplace_back(MainPartName(part), layout[part]);
            }
            for (int i = 0; i < 6; ++i)
                shown.emplace_back("button" + std::to_string(i), layout.buttons[i]);
            const QRect clientRect(QPoint(0, 0), client);
            for (size_t a = 0; a < shown.size(); ++a) {
                EXPECT_FALSE(shown[a].second.isEmpty()) << shown[a].first;
                EXPECT_TRUE(clientRect.contains(shown[a].second)) << shown[a].first;
                for (size_t b = a + 1; b < shown.size(); ++b)
                    EXPECT_FALSE(shown[a].second.intersects(shown[b].second))
                        << shown[a].first << " and " << shown[b].first << " at " << client.width()
                        << "x" << client.height();
            }
        }
    }
}

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
        EXPECT_NEAR(l[MainPart::UnrolledImage].left(), w * 3 / 4 + 50, 1);
        EXPECT_NEAR(l[MainPart::UploadBar].bottom(), band, 2);
        EXPECT_GE(l.buttons[0].top(), band);
        // The video keeps the working frame's 4:3 within a pixel.
        const QRect video = l[MainPart::Video];
        EXPECT_NEAR(video.width() * 3.0 / 4.0, video.height(), 1.0);
    }
}

}  // namespace
}  // namespace bhv::ui
