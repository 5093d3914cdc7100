#include <gtest/gtest.h>

#include <QTest>
#include <limits>
#include <opencv2/core.hpp>
#include <thread>

#include "controller/ProjectPageSink.h"
#include "imaging/ImageRun.h"
#include "imaging/Pages.h"
#include "storage/ProjectDb.h"
#include "support/QtApp.h"
#include "support/TempDir.h"
#include "ui/DepthRuler.h"
#include "ui/UnrolledImageView.h"

namespace bhv::ui {
namespace {

// A display in three colour zones (blue-green-red order): rows 0..1199 red, 1200..1799 green,
// 1800..2999 blue; 400 columns.
cv::Mat Zones(int rows = 3000) {
    cv::Mat image(rows, 400, CV_8UC3, cv::Scalar(255, 0, 0));
    image.rowRange(0, std::min(rows, 1200)).setTo(cv::Scalar(0, 0, 255));
    if (rows > 1200) image.rowRange(1200, std::min(rows, 1800)).setTo(cv::Scalar(0, 255, 0));
    return image;
}

class MatSource : public UnrolledImageSource {
public:
    cv::Mat ViewSource() const override { return image; }
    int32_t AxisStartMm() const override { return axisStart; }
    bool Browsing() const override { return browsing; }

    cv::Mat image;
    int32_t axisStart = 0;
    bool browsing = false;
};

// Counts the paint events of a widget.
class PaintCounter : public QObject {
public:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++paints;
        return false;
    }
    int paints = 0;
};

// The view (200 x 600) beside its ruler, in one window.
class UnrolledImageViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::App();
        axis_ = new DepthRuler(&window_);
        view_ = new UnrolledImageView(&window_);
        axis_->setGeometry(0, 0, 50, 600);
        view_->setGeometry(52, 0, 200, 600);
        view_->SetDepthRuler(axis_);
        view_->SetSource(&source_);
        ASSERT_TRUE(test::ShowAt(window_, 252, 600));
    }
    QImage Grab() { return view_->grab().toImage(); }
    QColor At(const QImage& image, int x, int y) { return image.pixelColor(x, y); }

    QWidget window_;
    DepthRuler* axis_ = nullptr;
    UnrolledImageView* view_ = nullptr;
    MatSource source_;
};

struct ZoneCase {
    const char* name;
    bool upward;
    int rows;
    // Expected colour at the top, at row `middleY` and at row 500 of the view.
    QColor top;
    int middleY;
    QColor middle, bottom;
};

TEST_F(UnrolledImageViewTest, ShowsTheRowsOfTheRunDirectionAndTellsTheRuler) {
    const QColor red(255, 0, 0), green(0, 255, 0), blue(0, 0, 255);
    const QColor background = view_->palette().window().color();
    const ZoneCase cases[] = {
        // 1200 rows fit: downward rows 1800..2999 (all blue), upward rows 0..1199 (all red).
        {"downward, tall display", false, 3000, blue, 300, blue, blue},
        {"upward, tall display", true, 3000, red, 300, red, red},
        // 900 rows are drawn 450 px high from the top, the rest is background.
        {"downward, short display", false, 900, red, 449, red, background},
        // 1500 rows: downward rows 300..1499 (red then green from 900 / 1200 * 600 = 450 px).
        {"downward, a little taller", false, 1500, red, 449, red, green},
    };
    source_.axisStart = 124456;
    for (const ZoneCase& c : cases) {
        source_.image = Zones(c.rows);
        view_->SetUpward(c.upward);
        const QImage shot = Grab();
        EXPECT_EQ(shot.size(), QSize(200, 600)) << c.name;
        EXPECT_EQ(At(shot, 100, 3), c.top) << c.name;
        EXPECT_EQ(At(shot, 100, 500), c.bottom) << c.name;
        EXPECT_EQ(At(shot, 100, c.middleY), c.middle) << c.name;
        EXPECT_EQ(axis_->Range(),
                  c.upward ? (DepthRange{124456, 123456}) : (DepthRange{124456, 125456}))
            << c.name;
    }
}

TEST_F(UnrolledImageViewTest, AnEmptyOrUnusableSourcePaintsWhite) {
    for (const cv::Mat& image : {cv::Mat(), cv::Mat(10, 10, CV_32FC1, cv::Scalar(0.5)),
                                 cv::Mat(10, 10, CV_8UC2, cv::Scalar(0, 0))}) {
        source_.image = image;
        const QImage shot = Grab();
        EXPECT_EQ(test::CountInk(shot, shot.rect(), Qt::white, 0), 0);
    }
    view_->SetSource(nullptr);
    const QImage shot = Grab();
    EXPECT_EQ(test::CountInk(shot, shot.rect(), Qt::white, 0), 0);
}

TEST_F(UnrolledImageViewTest, RepaintRequestsFromAnotherThreadAreMerged) {
    PaintCounter counter;
    view_->installEventFilter(&counter);
    source_.image = Zones();
    QCoreApplication::processEvents();
    const int before = counter.paints;
    std::thread imageThread([this] {
        for (int i = 0; i < 100; ++i) view_->RequestRepaint();
    });
    imageThread.join();
    EXPECT_TRUE(QTest::qWaitFor([&] { return counter.paints > before; }, 5000));
    QCoreApplication::processEvents();
    EXPECT_LE(counter.paints - before, 2);
    view_->removeEventFilter(&counter);
}

// The image run as the program uses it (a source that says when its image changed, so the view
// reads it again only then): a stored page is browsed, the run asks for the repaint and the view
// shows the page.
TEST_F(UnrolledImageViewTest, ShowsThePageTheImageRunBrowses) {
    test::TempDir tmp;
    test::ScopedRoot root(tmp.path());
    ProjectDb db;
    db.SetWorkspacePath(tmp.wide());
    ASSERT_TRUE(db.CreateProject(L"views", 100000, 700, 0, 0));
    const cv::Mat page(800, 400, CV_8UC3, cv::Scalar(0, 200, 0));
    ASSERT_TRUE(db.InsertBigImage(10000, EncodePage(page)));

    FrameQueue frames;
    StitchParamQueue records;
    ImageRun run(frames, records);
    ImageRunStart start;
    start.project = std::make_shared<ProjectPageSink>(db);
    start.startDepth = 100000;
    run.StartRun(start);
    run.FinishImageRun(false);

    PaintCounter counter;
    view_->installEventFilter(&counter);
    view_->SetImageRun(&run);
    run.SetRepaint([this] { view_->RequestRepaint(); });
    QCoreApplication::processEvents();
    EXPECT_EQ(view_->OverspeedText(), QString());  // nothing browsed yet
    view_->SetPageOverspeedShare(0.05);
    EXPECT_EQ(view_->OverspeedText(), QString());

    const int before = counter.paints;
    run.SetTravel(20000);
    run.BrowsePrevious();
    ASSERT_TRUE(run.Browsing());
    EXPECT_TRUE(QTest::qWaitFor([&] { return counter.paints > before; }, 5000));
    EXPECT_EQ(view_->OverspeedText(), QStringLiteral("超速 5%"));
    const QImage shot = Grab();
    const QColor centre = shot.pixelColor(100, 300);
    EXPECT_LT(centre.red(), 30);
    EXPECT_GT(centre.green(), 170);
    EXPECT_LT(centre.blue(), 30);
    // The share in red in the top right corner of the page, nowhere else; out of range it is
    // clamped, unknown it is not shown.
    EXPECT_GT(test::CountInk(shot, QRect(120, 0, 80, 30), centre), 10);
    EXPECT_EQ(test::CountInk(shot, QRect(0, 40, 200, 300), centre), 0);
    view_->SetPageOverspeedShare(1.7);
    EXPECT_EQ(view_->OverspeedText(), QStringLiteral("超速 100%"));
    view_->SetPageOverspeedShare(std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(view_->OverspeedText(), QString());

    // The repaint hook stays: the browse worker may still call it, until the run ends below.
    view_->SetImageRun(nullptr);
    view_->removeEventFilter(&counter);
}

// The ruler drawn where the arithmetic puts its ticks and labels.
struct RulerShotCase {
    const char* name;
    int32_t start, end;
    int labelY;     // a labelled tick
    int emptyFrom;  // a band of rows between two labels
    int emptyTo;
    int shortTickY;
};

TEST(DepthRulerTest, DrawsTicksAndLabelsWhereTheArithmeticPutsThem) {
    test::App();
    const RulerShotCase cases[] = {
        {"downward", 124456, 125456, 72, 92, 150, 12},
        {"upward", 122456, 121456, 28, 48, 105, 48},
    };
    for (const RulerShotCase& c : cases) {
        DepthRuler axis;
        ASSERT_TRUE(test::ShowAt(axis, 50, 500));
        axis.SetRange(c.start, c.end);
        const QImage shot = axis.grab().toImage();
        const QColor bg = axis.palette().window().color();
        ASSERT_EQ(shot.size(), QSize(50, 500));
        // The base line along the right edge.
        EXPECT_EQ(test::CountInk(shot, QRect(49, 0, 1, 500), bg), 500) << c.name;
        // A label left of its long tick, centred on it.
        EXPECT_GT(test::CountInk(shot, QRect(0, c.labelY - 8, 42, 17), bg), 15) << c.name;
        EXPECT_GT(test::CountInk(shot, QRect(43, c.labelY, 6, 1), bg), 4) << c.name;
        // No text between two labels.
        EXPECT_EQ(test::CountInk(shot, QRect(0, c.emptyFrom, 42, c.emptyTo - c.emptyFrom), bg), 0)
            << c.name;
        // A short tick: three pixels, not six.
        EXPECT_GT(test::CountInk(shot, QRect(46, c.shortTickY, 3, 1), bg), 1) << c.name;
        EXPECT_EQ(test::CountInk(shot, QRect(40, c.shortTickY, 5, 1), bg), 0) << c.name;
    }
}

}  // namespace
}  // namespace bhv::ui
