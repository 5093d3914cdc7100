#pragma once

#include <QColor>
#include <QPolygonF>
#include <QString>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <memory>
#include <opencv2/core/mat.hpp>
#include <optional>
#include <utility>
#include <vector>

#include "controller/StructureOverlay.h"
#include "ui/UnrolledImageSource.h"
#include "ui/ViewMath.h"

namespace bhv {
class ImageRun;
}

namespace bhv::ui {

class DepthRuler;
class QualityStrip;

// The view of the unrolled borehole wall: the growing stitched image during a run, a stored
// page while the user pages through them. The image is shown at the window's width; when it is
// taller than the window, the rows nearest the run's start (upward run) or the newest rows
// (downward run) fill it. After each paint the view gives the depth ruler the metre it covers.
//
// Threads: everything runs on the GUI thread except RequestRepaint, which the image thread may
// call at any time while the view exists.
class UnrolledImageView : public QWidget {
    Q_OBJECT
public:
    explicit UnrolledImageView(QWidget* parent = nullptr);
    ~UnrolledImageView() override;

    // The image run whose display and pages are shown (not owned; null shows nothing). The
    // caller installs RequestRepaint as the run's repaint call itself, before its image thread
    // starts, and removes it before this view goes away.
    void SetImageRun(const ImageRun* run);
    // Any other source (not owned; null shows nothing).
    void SetSource(const UnrolledImageSource* source);
    // The ruler that labels the view's depth range (not owned; may be null).
    void SetDepthRuler(DepthRuler* ruler) { ruler_ = ruler; }
    // The quality strip beside it (not owned; may be null): given the ruler's range and the
    // image run's grades at every paint.
    void SetQualityStrip(QualityStrip* strip) { strip_ = strip; }
    // The run goes upward (depth decreases): the view shows the oldest rows and the ruler counts
    // upward from the page start.
    void SetUpward(bool upward);
    bool Upward() const { return upward_; }

    // The share of the browsed page's length that was taken too fast (0 to 1), shown in a
    // corner while that page is browsed; nothing hides it.
    void SetPageOverspeedShare(std::optional<double> share);
    // The text shown for it ("超速 12%"); empty when hidden.
    QString OverspeedText() const;
    // Depth in millimetres at which the browsed page begins: the ruler labels that page while
    // it is browsed (nullopt: the source's axis start, the growing page's).
    void SetBrowsedAxisStart(std::optional<int32_t> startMm);
    // The start the ruler is given for what is shown now.
    int32_t ShownAxisStartMm() const;

    // The structure picks drawn over the image (not owned; null draws none): each as its trace,
    // with its true dip and direction, coloured by kind. Call StructuresChanged when they
    // change; the traces are worked out again only then or when the image moves.
    void SetStructures(const StructureOverlay* overlay);
    void StructuresChanged();
    // Top and bottom depth (mm) of the browsed page, for the picks on it (nullopt: none known).
    void SetBrowsedPageDepths(std::optional<std::pair<double, double>> depths);
    // Where the image shown now lies on the wall (not Valid when not known: no picks drawn,
    // clicks not forwarded).
    const ImageGeometry& ShownGeometry() const { return geometry_; }
    // The widget point that shows an image point, and back.
    QPointF WidgetPointOf(const ImagePoint& p) const;
    ImagePoint ImagePointOf(const QPointF& p) const;
    // The colour of a pick's trace.
    static QColor StructureColor(StructureKind kind);

    // Thread-safe: asks for one repaint on the GUI thread. Calls that come while one is already
    // queued are merged into it.
    void RequestRepaint();

    QSize sizeHint() const override { return {400, 600}; }

signals:
    // Emitted by RequestRepaint on the image thread; delivered queued on the GUI thread.
    void repaintPosted();
    // A left click on the image: the azimuth (degrees clockwise from north) and depth (mm) it
    // shows, and the depth a few pixels make there (how far off a trace a click may be).
    void imageClicked(double azimuthDeg, double depthMm, double toleranceMm);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    // Brings the view's own picture (bgra_) up to date with the source: only the rows in view
    // are read, under the source's lock and without a copy of the whole image, and only when
    // the source changed since the last time (or the size or direction did).
    void UpdatePicture();
    void MakePicture(const cv::Mat& shown, cv::Size target);
    // The geometry of the image shown, from the browsed page's depths or the image run's rows.
    ImageGeometry CurrentGeometry() const;
    // The traces in widget pixels, worked out again when the picks or the picture changed.
    void UpdateCurves();
    void PaintStructures(QPainter& painter);

    std::unique_ptr<UnrolledImageSource> runSource_;  // adapter for SetImageRun
    const UnrolledImageSource* source_ = nullptr;
    DepthRuler* ruler_ = nullptr;
    QualityStrip* strip_ = nullptr;
    const ImageRun* run_ = nullptr;
    bool upward_ = false;
    std::optional<double> overspeed_;
    std::optional<int32_t> browsedAxisStart_;
    std::atomic<bool> repaintQueued_{false};
    cv::Mat scaled_;  // paint buffers, kept to avoid allocating on every paint
    cv::Mat bgra_;    // the picture drawn: the rows in view, at the view's width
    struct PictureKey {
        const UnrolledImageSource* source = nullptr;
        uint64_t version = 0;
        int width = 0, height = 0;
        bool upward = false;
        bool operator==(const PictureKey&) const = default;
    };
    struct Picture {
        PictureKey key;
        VisibleRows rows;
        bool valid = false;  // false: nothing to draw (white)
    } picture_;
    int sourceCols_ = 0, sourceRows_ = 0;  // the size of the image the picture was made from

    const StructureOverlay* overlay_ = nullptr;
    std::optional<std::pair<double, double>> browsedDepths_;
    ImageGeometry geometry_;
    struct DrawnCurve {
        QPolygonF points;
        QColor color;
        QString label;
        QPointF labelAt;
        bool selected = false;
        bool byOperator = false;
    };
    struct Curves {
        uint64_t overlayVersion = 0;
        PictureKey key;
        bool browsing = false;
        bool valid = false;
        std::vector<DrawnCurve> curves;
        std::vector<QPointF> marks;  // the points of a pick by hand so far
    } curves_;
};

}  // namespace bhv::ui
