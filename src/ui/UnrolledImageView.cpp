#include "ui/UnrolledImageView.h"

#include <QImage>
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
    void NoteShownSize(int width, int height) const override {
        run_.NoteShownSize(width, height);
    }
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
            painter.fillRect(QRect(0, picture_.rows.height, width(), height() - picture_.rows.height),
                             palette().window());
        const QImage image = BorrowedImage(bgra_);
        if (bgra_.cols == target.width() && bgra_.rows == target.height())
            painter.drawImage(target.topLeft(), image);
        else
            painter.drawImage(target, image);  // enlarged: the source pixels repeated
    } else {
        painter.fillRect(rect(), Qt::white);
    }

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
        strip_->Show(range.start, range.end,
                     run_ ? run_->QualityGrades() : std::map<int32_t, QualityGrade>());
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
        picture_.rows = ComputeVisibleRows(width(), height(), image.cols, image.rows, upward_);
        if (picture_.rows.rowCount < 1) return;
        MakePicture(image.rowRange(picture_.rows.firstRow,
                                   picture_.rows.firstRow + picture_.rows.rowCount),
                    cv::Size(width(), picture_.rows.height));
        picture_.valid = true;
    });
    picture_.key = key;
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
