#include "ui/UnrolledImageView.h"

#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "imaging/ImageRun.h"
#include "ui/DepthRuler.h"
#include "ui/QualityStrip.h"
#include "ui/UiFonts.h"
#include "ui/ViewMath.h"

namespace bhv::ui {
namespace {

class ImageRunSource : public UnrolledImageSource {
public:
    explicit ImageRunSource(const ImageRun& run) : run_(run) {}
    cv::Mat ViewSource() const override { return run_.ViewSource(); }
    void ReadViewSource(const std::function<void(const cv::Mat&)>& read) const override {
        run_.ReadViewSource(read);
    }
    uint64_t ViewVersion() const override { return run_.ViewVersion(); }
    void NoteShownSize(int width, int height) const override { run_.NoteShownSize(width, height); }
    int32_t AxisStartMm() const override { return run_.AxisStartMm(); }
    bool Browsing() const override { return run_.Browsing(); }

private:
    const ImageRun& run_;
};

// Blue-green-red-alpha bytes are QImage's 32-bit RGB only on a little-endian machine.
static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "the paint buffer's byte order");

bool Drawable(const cv::Mat& image) {
    return !image.empty() && image.cols > 0 && image.depth() == CV_8U &&
           (image.channels() == 1 || image.channels() == 3 || image.channels() == 4);
}

void ToBgra(const cv::Mat& image, cv::Mat& bgra) {
    switch (image.channels()) {
        case 1:
            cv::cvtColor(image, bgra, cv::COLOR_GRAY2BGRA);
            break;
        case 3:
            cv::cvtColor(image, bgra, cv::COLOR_BGR2BGRA);
            break;
        default:
            image.copyTo(bgra);
            break;
    }
}

// The QImage only borrows the buffer for the draw.
QImage BorrowedImage(const cv::Mat& bgra) {
    return QImage(bgra.data, bgra.cols, bgra.rows, static_cast<qsizetype>(bgra.step),
                  QImage::Format_RGB32);
}

}  // namespace

UnrolledImageView::UnrolledImageView(QWidget* parent) : QWidget(parent) {
    setObjectName("imageView");
    // Every pixel is painted each time; nothing needs erasing first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    // The image thread only emits; Qt makes the queued call on the GUI thread from an event it
    // allocates itself (a functor posted from the image thread would be handed over through
    // Qt's own locks, which the thread sanitizer cannot see).
    connect(
        this, &UnrolledImageView::repaintPosted, this,
        [this] {
            repaintQueued_.store(false);
            update();
        },
        Qt::QueuedConnection);
}

UnrolledImageView::~UnrolledImageView() = default;

void UnrolledImageView::SetImageRun(const ImageRun* run) {
    run_ = run;
    runSource_ = run ? std::make_unique<ImageRunSource>(*run) : nullptr;
    source_ = runSource_.get();
    picture_ = {};
    update();
}

void UnrolledImageView::SetSource(const UnrolledImageSource* source) {
    runSource_.reset();
    run_ = nullptr;
    source_ = source;
    picture_ = {};
    update();
}

void UnrolledImageView::SetUpward(bool upward) {
    if (upward_ == upward) return;
    upward_ = upward;
    update();
}

void UnrolledImageView::SetPageOverspeedShare(std::optional<double> share) {
    if (share && !std::isfinite(*share)) share.reset();
    overspeed_ = share;
    update();
}

QString UnrolledImageView::OverspeedText() const {
    if (!overspeed_ || !source_ || !source_->Browsing()) return {};
    const double percent = std::clamp(*overspeed_, 0.0, 1.0) * 100.0;
    return QStringLiteral("超速 %1%").arg(static_cast<int>(std::lround(percent)));
}

void UnrolledImageView::SetBrowsedAxisStart(std::optional<int32_t> startMm) {
    browsedAxisStart_ = startMm;
    update();
}

int32_t UnrolledImageView::ShownAxisStartMm() const {
    if (!source_) return 0;
    if (browsedAxisStart_ && source_->Browsing()) return *browsedAxisStart_;
    return source_->AxisStartMm();
}

void UnrolledImageView::RequestRepaint() {
    if (repaintQueued_.exchange(true)) return;
    emit repaintPosted();
}

void UnrolledImageView::paintEvent(QPaintEvent*) {
    if (height() < 1) return;
    QPainter painter(this);
    const int32_t axisStart = ShownAxisStartMm();

    UpdatePicture();
    if (picture_.valid) {
        const QRect target(0, 0, width(), picture_.rows.height);
        if (picture_.rows.height < height())
            painter.fillRect(
                QRect(0, picture_.rows.height, width(), height() - picture_.rows.height),
                palette().window());
        const QImage image = BorrowedImage(bgra_);
        if (bgra_.cols == target.width() && bgra_.rows == target.height())
            painter.drawImage(target.topLeft(), image);
        else
            painter.drawImage(target, image);  // enlarged: the source pixels repeated
    } else {
        painter.fillRect(rect(), Qt::white);
    }

    PaintStructures(painter);

    const QString overspeed = OverspeedText();
    if (!overspeed.isEmpty()) {
        painter.setFont(UiFont(12));
        const QRect box = painter.fontMetrics().boundingRect(overspeed).adjusted(-4, -2, 4, 2);
        const QRect corner(rect().topRight() - QPoint(box.width() + 3, -3), box.size());
        painter.fillRect(corner, QColor(255, 255, 255, 200));
        painter.setPen(Qt::red);
        painter.drawText(corner, Qt::AlignCenter, overspeed);
    }

    const DepthRange range = RulerRangeFor(axisStart, upward_);
    if (ruler_) ruler_->SetRange(range.start, range.end);
    if (strip_)
        // Only the grades of the stretch on screen: a paint costs the same at any depth.
        strip_->Show(range.start, range.end,
                     run_ ? run_->QualityGrades(std::min(range.start, range.end),
                                                std::max(range.start, range.end))
                          : std::map<int32_t, QualityGrade>());
}

void UnrolledImageView::UpdatePicture() {
    const uint64_t version = source_ ? source_->ViewVersion() : 0;
    const PictureKey key{source_, version, width(), height(), upward_};
    // The picture is still what the source shows at this size: a paint for any other reason
    // (the ruler, the overspeed text, an expose) draws it again as it is.
    if (version != 0 && key == picture_.key) return;
    picture_ = {};
    if (!source_) return;
    source_->NoteShownSize(width(), height());
    source_->ReadViewSource([&](const cv::Mat& image) {
        if (!Drawable(image)) return;
        sourceCols_ = image.cols;
        sourceRows_ = image.rows;
        picture_.rows = ComputeVisibleRows(width(), height(), image.cols, image.rows, upward_);
        if (picture_.rows.rowCount < 1) return;
        MakePicture(
            image.rowRange(picture_.rows.firstRow, picture_.rows.firstRow + picture_.rows.rowCount),
            cv::Size(width(), picture_.rows.height));
        picture_.valid = true;
    });
    picture_.key = key;
}

void UnrolledImageView::SetStructures(const StructureOverlay* overlay) {
    overlay_ = overlay;
    curves_ = {};
    update();
}

void UnrolledImageView::StructuresChanged() {
    update();
}

void UnrolledImageView::SetBrowsedPageDepths(std::optional<std::pair<double, double>> depths) {
    browsedDepths_ = depths;
    curves_ = {};
    update();
}

QColor UnrolledImageView::StructureColor(StructureKind kind) {
    switch (kind) {
        case StructureKind::Fracture:
            return QColor(255, 40, 40);
        case StructureKind::Bedding:
            return QColor(40, 200, 255);
        case StructureKind::Vein:
            return QColor(255, 200, 0);
        case StructureKind::Unknown:
            break;
    }
    return QColor(255, 0, 255);
}

ImageGeometry UnrolledImageView::CurrentGeometry() const {
    if (!source_ || !picture_.valid || sourceCols_ < 1 || sourceRows_ < 1) return {};
    if (source_->Browsing()) {
        if (!browsedDepths_) return {};
        return ImageGeometry::Page(sourceCols_, sourceRows_, browsedDepths_->first,
                                   browsedDepths_->second);
    }
    if (!run_) return {};
    // The growing display: its rows' depths and headings as the image run placed them.
    std::vector<ImageGeometry::RowSample> samples;
    for (const ImageRun::DisplayRowSample& r : run_->DisplayGeometry())
        if (r.row < sourceRows_) samples.push_back({r.row + 0.5, r.depthMm, r.headingDeg});
    return ImageGeometry(sourceCols_, sourceRows_, std::move(samples));
}

QPointF UnrolledImageView::WidgetPointOf(const ImagePoint& p) const {
    if (sourceCols_ < 1 || picture_.rows.rowCount < 1) return {};
    return {p.x * width() / sourceCols_,
            (p.y - picture_.rows.firstRow) * picture_.rows.height / picture_.rows.rowCount};
}

ImagePoint UnrolledImageView::ImagePointOf(const QPointF& p) const {
    if (width() < 1 || picture_.rows.height < 1) return {};
    return {p.x() * sourceCols_ / width(),
            picture_.rows.firstRow + p.y() * picture_.rows.rowCount / picture_.rows.height};
}

void UnrolledImageView::UpdateCurves() {
    const bool browsing = source_ && source_->Browsing();
    if (curves_.valid && curves_.overlayVersion == overlay_->Version() &&
        curves_.key == picture_.key && curves_.browsing == browsing && picture_.key.version != 0)
        return;
    curves_ = {};
    curves_.overlayVersion = overlay_->Version();
    curves_.key = picture_.key;
    curves_.browsing = browsing;
    curves_.valid = true;
    geometry_ = CurrentGeometry();
    if (!geometry_.Valid()) return;
    // The depths in view: picks wholly outside them are not drawn.
    const double viewShallow =
        std::min(geometry_.DepthAt(picture_.rows.firstRow),
                 geometry_.DepthAt(picture_.rows.firstRow + picture_.rows.rowCount));
    const double viewDeep =
        std::max(geometry_.DepthAt(picture_.rows.firstRow),
                 geometry_.DepthAt(picture_.rows.firstRow + picture_.rows.rowCount));
    if (overlay_->Visible()) {
        for (const StructurePick& pick : overlay_->Picks()) {
            const double half = std::abs(pick.heightMm) / 2;
            if (pick.depthMm + half < viewShallow || pick.depthMm - half > viewDeep) continue;
            DrawnCurve c;
            const std::vector<ImagePoint> trace = geometry_.Trace(SinusoidOf(pick));
            c.points.reserve(static_cast<qsizetype>(trace.size()));
            for (const ImagePoint& p : trace) c.points.append(WidgetPointOf(p));
            c.color = StructureColor(pick.kind);
            c.label = QString::fromStdString(StructureLabel(pick));
            c.selected = overlay_->Selected() == pick.id;
            c.byOperator = pick.origin == PickOrigin::Operator;
            // The label above the trace's shallowest point, kept inside the view.
            QPointF top = c.points.front();
            for (const QPointF& p : c.points)
                if (p.y() < top.y()) top = p;
            c.labelAt = top;
            curves_.curves.push_back(std::move(c));
        }
    }
    for (const TracePoint& t : overlay_->PickPoints())
        curves_.marks.push_back(WidgetPointOf(geometry_.ToImage(t)));
}

void UnrolledImageView::PaintStructures(QPainter& painter) {
    if (!overlay_ || !picture_.valid) {
        geometry_ = {};
        return;
    }
    UpdateCurves();
    if (curves_.curves.empty() && curves_.marks.empty()) return;
    painter.save();
    painter.setClipRect(QRect(0, 0, width(), picture_.rows.height));
    painter.setFont(UiFont(10));
    const QFontMetrics metrics = painter.fontMetrics();
    for (const DrawnCurve& c : curves_.curves) {
        if (c.selected) {
            // The selected pick stands out on a white band.
            painter.setPen(QPen(Qt::white, 5));
            painter.drawPolyline(c.points);
        }
        QPen pen(c.color, 2, c.byOperator ? Qt::DashLine : Qt::SolidLine);
        painter.setPen(pen);
        painter.drawPolyline(c.points);
    }
    for (const DrawnCurve& c : curves_.curves) {
        QRect box = metrics.boundingRect(c.label).adjusted(-2, 0, 2, 0);
        const int x = std::clamp(static_cast<int>(c.labelAt.x()) - box.width() / 2, 0,
                                 std::max(0, width() - box.width()));
        const int y = std::clamp(static_cast<int>(c.labelAt.y()) - box.height() - 2, 0,
                                 std::max(0, picture_.rows.height - box.height()));
        box.moveTo(x, y);
        painter.fillRect(box, QColor(0, 0, 0, 150));
        painter.setPen(c.color);
        painter.drawText(box, Qt::AlignCenter, c.label);
    }
    painter.setPen(QPen(Qt::yellow, 2));
    for (const QPointF& m : curves_.marks) {
        painter.drawLine(m + QPointF(-5, -5), m + QPointF(5, 5));
        painter.drawLine(m + QPointF(-5, 5), m + QPointF(5, -5));
    }
    painter.restore();
}

void UnrolledImageView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !geometry_.Valid() ||
        event->position().y() >= picture_.rows.height) {
        QWidget::mousePressEvent(event);
        return;
    }
    const ImagePoint p = ImagePointOf(event->position());
    const TracePoint t = geometry_.ToTrace(p);
    // Six pixels of the view, in depth.
    const double mmPerPixel =
        geometry_.MmPerRow() * picture_.rows.rowCount / std::max(1, picture_.rows.height);
    emit imageClicked(t.azimuthDeg, t.depthMm, 6.0 * mmPerPixel);
    event->accept();
}

void UnrolledImageView::MakePicture(const cv::Mat& shown, cv::Size target) {
    if (target.width >= shown.cols) {
        // At the window's width or wider the source pixels are repeated: convert the rows in
        // view and let the painter enlarge them (no smoothing).
        ToBgra(shown, bgra_);
        return;
    }
    // Narrower: shrink the rows in view to the view's own size, then convert only the pixels
    // that are drawn. Bilinear; an area average would be smoother but costs ten times as much
    // on a full page, more than a repaint may take.
    cv::resize(shown, scaled_, target, 0, 0, cv::INTER_LINEAR);
    ToBgra(scaled_, bgra_);
}

}  // namespace bhv::ui
