#include <gtest/gtest.h>

#include <QChart>
#include <QFontMetrics>
#include <QGraphicsScene>
#include <QGraphicsTextItem>
#include <QLineSeries>
#include <QSignalSpy>
#include <QTest>
#include <QValueAxis>

#include "support/QtApp.h"
#include "ui/Layout.h"
#include "ui/ProbeAttitudeView.h"
#include "ui/ProbeCharts.h"

namespace bhv::ui {
namespace {

class ProbeAttitudeViewTest : public ::testing::Test {
protected:
    void SetUp() override { test::App(); }
};

TEST_F(ProbeAttitudeViewTest, DrawsThePictureAndEveryReadingLine) {
    ProbeAttitudeView view;
    EXPECT_EQ(view.objectName(), QStringLiteral("probeTiltView"));
    ASSERT_TRUE(view.HasPicture());
    ASSERT_TRUE(test::ShowAt(view, 400, 240));
    view.SetOnline(true);
    view.SetValues(1.5, 45.0, 18.5, 30.0, true);
    const QImage shot = view.grab().toImage();
    // The probe in the middle.
    EXPECT_GT(test::CountInk(shot, QRect(160, 40, 80, 160), Qt::white), 1000);
    // One line of text at each line top, nothing in the gap under the first line.
    for (int top : kAttitudeLineTops)
        EXPECT_GT(test::CountInk(shot, QRect(12, top, 120, 18), Qt::white), 20) << top;
    EXPECT_EQ(test::CountInk(shot, QRect(0, 33, 150, 12), Qt::white), 0);
    EXPECT_EQ(test::CountInk(shot, QRect(0, 0, 11, 240), Qt::white), 0);
}

std::vector<ProbeStateRecord> History(int count, int moveStep, float vertStep) {
    std::vector<ProbeStateRecord> history;
    for (int i = 0; i < count; ++i) {
        ProbeStateRecord r;
        r.id = 100 * (i + 1);
        r.totalMove = moveStep * i;
        r.verticality = vertStep * static_cast<float>(i);
        history.push_back(r);
    }
    return history;
}

QValueAxis* Axis(QChartView* view, Qt::Alignment side) {
    for (QAbstractAxis* axis : view->chart()->axes())
        if (axis->alignment() == side) return qobject_cast<QValueAxis*>(axis);
    return nullptr;
}

class ProbeChartsTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::App();
        charts_ = new ProbeCharts(&window_);
        charts_->MoveView()->setGeometry(0, 0, 400, 500);
        charts_->VerticalityView()->setGeometry(400, 0, 200, 500);
        ASSERT_TRUE(test::ShowAt(window_, 600, 500));
    }
    QWidget window_;
    ProbeCharts* charts_ = nullptr;
};

TEST_F(ProbeChartsTest, RedrawRebuildsTheCurvesAndOnlyWidensTheAxes) {
    const std::vector<ProbeStateRecord> history = History(150, 2, 0.02f);  // to 15 m, 298 mm
    charts_->Redraw(history);
    ASSERT_EQ(charts_->MoveSeries()->count(), 150);
    ASSERT_EQ(charts_->VerticalitySeries()->count(), 150);
    EXPECT_EQ(charts_->MoveSeries()->at(149), QPointF(298, 15.0));
    EXPECT_EQ(charts_->VerticalitySeries()->at(1), QPointF(0.02f, 0.2));
    QValueAxis* moveTop = Axis(charts_->MoveView(), Qt::AlignTop);
    QValueAxis* moveDepth = Axis(charts_->MoveView(), Qt::AlignLeft);
    QValueAxis* vertBottom = Axis(charts_->VerticalityView(), Qt::AlignBottom);
    QValueAxis* vertDepth = Axis(charts_->VerticalityView(), Qt::AlignRight);
    EXPECT_NEAR(moveTop->max(), 298 * 1.1, 1e-9);
    EXPECT_NEAR(moveTop->min(), -298 * 1.1, 1e-9);
    EXPECT_NEAR(vertBottom->max(), 0.02f * 149 * 1.1, 1e-5);
    EXPECT_DOUBLE_EQ(moveDepth->max(), 15.0);
    EXPECT_DOUBLE_EQ(vertDepth->max(), 15.0);
    EXPECT_DOUBLE_EQ(moveDepth->min(), 0.0);

    // A shorter history: its curves, the wider axes stay.
    charts_->Redraw(std::span(history).first(10));
    EXPECT_EQ(charts_->MoveSeries()->count(), 10);
    EXPECT_NEAR(moveTop->max(), 298 * 1.1, 1e-9);
    EXPECT_DOUBLE_EQ(moveDepth->max(), 15.0);

    // An empty history (a new run) empties the curves and keeps the axes.
    charts_->Redraw({});
    EXPECT_EQ(charts_->MoveSeries()->count(), 0);
    EXPECT_EQ(charts_->VerticalitySeries()->count(), 0);
    EXPECT_NEAR(moveTop->max(), 298 * 1.1, 1e-9);
    EXPECT_DOUBLE_EQ(vertDepth->max(), 15.0);
}

TEST_F(ProbeChartsTest, TheCursorShowsTheReadingInTheBottomTitles) {
    const std::vector<ProbeStateRecord> history = History(100, 3, 0.01f);  // 0.1 .. 10 m
    charts_->Redraw(history);
    // A press in the plot area places the drag line, reports its depth and titles the reading
    // there (the titles' arithmetic is ViewMathTest's).
    DepthCursorChartView* view = charts_->MoveView();
    QSignalSpy moved(view, &DepthCursorChartView::CursorMoved);
    const QPointF inChart = view->chart()->mapToPosition(QPointF(0.0, 5.55), charts_->MoveSeries());
    const QPoint at = view->mapFromScene(view->chart()->mapToScene(inChart));
    QTest::mousePress(view->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, at);
    ASSERT_GE(moved.count(), 1);
    const double depth = moved.last().at(0).toDouble();
    EXPECT_NEAR(depth, 5.55, 0.05);
    ASSERT_TRUE(view->DragDepth().has_value());
    EXPECT_DOUBLE_EQ(*view->DragDepth(), depth);
    const auto reading = LookupCursor(history, depth);
    ASSERT_TRUE(reading.has_value());
    EXPECT_EQ(charts_->MoveCursorTitle(), QString::fromStdString(CursorMoveTitle(depth, reading)));
    EXPECT_EQ(charts_->VerticalityCursorTitle(),
              QString::fromStdString(CursorVerticalityTitle(reading)));

    // Outside the plot area nothing is reported.
    const int reports = moved.count();
    QTest::mousePress(view->viewport(), Qt::LeftButton, {}, QPoint(1, 1));
    QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, QPoint(1, 1));
    EXPECT_EQ(moved.count(), reports);
}

// The axis labels the charts draw (their scenes' text items), with what each holds.
QStringList AxisLabels(QChartView* view) {
    QStringList labels;
    for (QGraphicsItem* item : view->chart()->scene()->items())
        if (auto* text = dynamic_cast<QGraphicsTextItem*>(item); text && text->isVisible())
            labels << text->toPlainText();
    return labels;
}

// At the size the main window gives them on each supported screen, and with the ranges a run
// widens them to (each history wider than the one before), every number of both charts is
// written out, none cut to "...".
TEST(ProbeChartsLabelsTest, EveryAxisLabelFitsAtTheWindowsSizes) {
    test::App();
    const struct {
        int count, moveStep;
        float vertStep;
    } histories[] = {{0, 0, 0.0f},      {30, -3, -0.3f},   {150, 2, 0.02f},
                     {400, 7, 0.0123f}, {60, 37, 0.4567f}, {500, 90, 0.0017f}};
    for (const QSize screen : {QSize(1280, 768), QSize(1366, 768), QSize(1920, 1080)}) {
        const MainLayout layout =
            ComputeMainLayout(QSize(screen.width(), screen.height() - 65), 1440, 1080);
        QWidget window;
        auto* charts = new ProbeCharts(&window);
        charts->MoveView()->setGeometry(layout[MainPart::MoveChart]);
        charts->VerticalityView()->setGeometry(layout[MainPart::VertChart]);
        ASSERT_TRUE(test::ShowAt(window, screen.width(), screen.height() - 65));
        for (const auto& h : histories) {
            charts->Redraw(History(h.count, h.moveStep, h.vertStep));
            QCoreApplication::processEvents();
            for (QChartView* view :
                 {static_cast<QChartView*>(charts->MoveView()), charts->VerticalityView()}) {
                const QStringList labels = AxisLabels(view);
                EXPECT_GE(labels.size(), 6) << view->objectName().toStdString();
                for (const QString& label : labels)
                    EXPECT_FALSE(label.contains(QStringLiteral("...")) ||
                                 label.contains(QChar(0x2026)))
                        << screen.width() << "x" << screen.height() << " "
                        << view->objectName().toStdString() << " history " << h.count << ": \""
                        << label.toStdString() << "\" of " << labels.join('|').toStdString();
            }
        }
    }
}

// (The texts the views paint are checked for glyphs with the windows' texts: MainWindowTest.)

}  // namespace
}  // namespace bhv::ui
