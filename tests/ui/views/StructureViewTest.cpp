// The structure picks over the unrolled image view: a pick's trace turns the pixels it passes
// into its kind's colour where the geometry says, with its label; the hide switch takes them
// away; a click is forwarded as the azimuth and depth it shows. The main window carries the
// switch and the pick buttons.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <opencv2/core.hpp>

#include "support/QtApp.h"
#include "support/RecordingPrompter.h"
#include "support/TempDir.h"
#include "ui/MainWindow.h"
#include "ui/UnrolledImageView.h"

namespace bhv::ui {
namespace {

class PageSource : public UnrolledImageSource {
public:
    cv::Mat ViewSource() const override { return image; }
    int32_t AxisStartMm() const override { return 10000; }
    bool Browsing() const override { return true; }
    cv::Mat image = cv::Mat(600, 200, CV_8UC3, cv::Scalar(90, 90, 90));
};

// Pixels close to `color`.
int CountColor(const QImage& image, const QRect& area, QColor color) {
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (std::abs(c.red() - color.red()) < 30 && std::abs(c.green() - color.green()) < 30 &&
                std::abs(c.blue() - color.blue()) < 30)
                ++n;
        }
    return n;
}

TEST(StructureView, PaintsEachPickWhereItsTraceRunsAndHidesThem) {
    test::App();
    QWidget window;
    auto* view = new UnrolledImageView(&window);
    view->setGeometry(0, 0, 200, 600);
    PageSource source;
    view->SetSource(&source);
    // The page shows 10.000 to 10.300 m over its 600 rows: half a millimetre a row, a pixel here.
    view->SetBrowsedPageDepths(std::pair(10000.0, 10300.0));
    StructureOverlay overlay;
    StructurePick pick;
    pick.id = 1;
    pick.depthMm = 10150.0;
    pick.heightMm = 80.0;
    pick.apparentAzimuthDeg = 90.0;  // deepest at east, a quarter of the width from the left
    pick.trueDipDeg = 35.0;
    pick.trueAzimuthDeg = 120.0;
    pick.kind = StructureKind::Fracture;
    overlay.SetPicks({pick});
    view->SetStructures(&overlay);
    ASSERT_TRUE(test::ShowAt(window, 200, 600));

    const QColor red = UnrolledImageView::StructureColor(StructureKind::Fracture);
    QImage shot = view->grab().toImage();
    ASSERT_TRUE(view->ShownGeometry().Valid());
    // The trace's deepest point (east, 10190 mm: row 380) and its shallowest (west, 10110 mm:
    // row 220), and nothing red far off it.
    EXPECT_GT(CountColor(shot, QRect(46, 375, 8, 10), red), 3);
    EXPECT_GT(CountColor(shot, QRect(146, 215, 8, 10), red), 3);
    EXPECT_EQ(CountColor(shot, QRect(0, 450, 200, 150), red), 0);
    // Its label "35°/120°" is drawn above its shallowest point, in the trace's colour.
    EXPECT_GT(CountColor(shot, QRect(100, 180, 100, 40), red), 5);

    // A click on the trace is forwarded as the azimuth and depth it shows.
    QSignalSpy clicks(view, &UnrolledImageView::imageClicked);
    QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(50, 380));
    ASSERT_EQ(clicks.size(), 1);
    EXPECT_NEAR(clicks[0][0].toDouble(), 90.0, 2.0);
    EXPECT_NEAR(clicks[0][1].toDouble(), 10190.0, 1.0);
    EXPECT_GT(clicks[0][2].toDouble(), 1.0);

    overlay.SetVisible(false);
    view->StructuresChanged();
    shot = view->grab().toImage();
    EXPECT_EQ(CountColor(shot, shot.rect(), red), 0);
}

TEST(StructureView, TheMainWindowHasTheSwitchAndThePickButtons) {
    test::App();
    test::TempDir tmp;
    AcquisitionOptions options;
    options.workspaceRoot = tmp.wide();
    options.configFolder = tmp.path() / "config";
    options.camera = "127.0.0.1:9";
    test::RecordingPrompter prompter;
    MainWindow window(std::move(options), &prompter);
    auto* structures = window.findChild<QCheckBox*>("structuresSwitch");
    auto* pick = window.findChild<QPushButton*>("pickButton");
    auto* remove = window.findChild<QPushButton*>("deleteStructureButton");
    ASSERT_TRUE(structures && pick && remove);
    EXPECT_EQ(structures->text(), QStringLiteral("结构面"));
    EXPECT_EQ(pick->text(), QStringLiteral("拾取"));
    EXPECT_EQ(remove->text(), QStringLiteral("删除"));
    EXPECT_TRUE(structures->isChecked());
    EXPECT_FALSE(remove->isEnabled());  // nothing selected

    // The switch and "拾取" reach the controller's overlay.
    structures->click();
    EXPECT_FALSE(window.Controller().Structures().Visible());
    pick->click();
    EXPECT_TRUE(window.Controller().Structures().Picking());
    EXPECT_TRUE(structures->isChecked());  // picking shows the picks
    EXPECT_TRUE(pick->isChecked());
    pick->click();
    EXPECT_FALSE(window.Controller().Structures().Picking());
    EXPECT_FALSE(pick->isChecked());
}

}  // namespace
}  // namespace bhv::ui
