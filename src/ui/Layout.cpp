#include "ui/Layout.h"

namespace bhv::ui {
namespace {

// Half of the 2-pixel gap between neighbours, taken from each side of every cell.
constexpr int kHalfGap = 1;

QRect Cell(int left, int top, int right, int bottom) {
    return QRect(QPoint(left, top), QPoint(right - 1, bottom - 1))
        .adjusted(kHalfGap, kHalfGap, -kHalfGap, -kHalfGap);
}

}  // namespace

QRect ButtonSlot(int clientWidth, int bandTop, int bandHeight, int index) {
    const int slot = (clientWidth - 9) / 6;
    return QRect(7 + index * slot, bandTop + 7, slot - 5, bandHeight - 14);
}

QRect AspectFit(const QRect& area, int workWidth, int workHeight) {
    if (area.width() <= 0 || area.height() <= 0 || workWidth <= 0 || workHeight <= 0)
        return QRect(area.topLeft(), QSize(0, 0));
    // Compare width / height of both in whole numbers: w1 * h2 > w2 * h1.
    if (static_cast<int64_t>(area.width()) * workHeight >
        static_cast<int64_t>(workWidth) * area.height()) {
        const int width =
            static_cast<int>(static_cast<int64_t>(workWidth) * area.height() / workHeight);
        return QRect(area.x() + (area.width() - width) / 2, area.y(), width, area.height());
    }
    const int height =
        static_cast<int>(static_cast<int64_t>(workHeight) * area.width() / workWidth);
    return QRect(area.x(), area.y() + (area.height() - height) / 2, area.width(), height);
}

MainLayout ComputeMainLayout(QSize client, int workWidth, int workHeight) {
    const int w = client.width();
    const int h = client.height();
    const int band = h * 9 / 10;
    const int half = w / 2;
    const int q3 = w * 3 / 4;
    const int upper = band * 6 / 10;          // control panel and charts
    const int runTop = band * 8 / 10;         // ruler, image view and page buttons
    const int imageBottom = runTop * 9 / 10;  // ruler and image view
    const int infoBottom = runTop + band * 13 / 100;
    const int moveRight = w * 66 / 100;
    const int pageSplit = (q3 + w) / 2;

    MainLayout layout;
    layout.videoArea = Cell(0, 0, half, band);
    auto set = [&layout](MainPart part, const QRect& rect) {
        layout.parts[static_cast<int>(part)] = rect;
    };
    set(MainPart::Video, AspectFit(layout.videoArea, workWidth, workHeight));
    set(MainPart::ControlPanel, Cell(half, 0, w, upper));
    set(MainPart::MoveChart, Cell(half, 0, moveRight, upper));
    set(MainPart::VertChart, Cell(moveRight, 0, q3, upper));
    set(MainPart::Attitude, Cell(half, upper, q3, band));
    set(MainPart::DepthRuler, Cell(q3, 0, q3 + 50, imageBottom));
    // The quality strip takes its width from the image view's left edge; nothing else moves.
    set(MainPart::QualityStrip, Cell(q3 + 50, 0, q3 + 50 + kQualityStripWidth, imageBottom));
    set(MainPart::UnrolledImage, Cell(q3 + 50 + kQualityStripWidth, 0, w, imageBottom));
    set(MainPart::PrevPage, Cell(q3, imageBottom, pageSplit, runTop));
    set(MainPart::NextPage, Cell(pageSplit, imageBottom, w, runTop));
    set(MainPart::InfoPanel, Cell(q3, runTop, w, infoBottom));
    set(MainPart::UploadBar, Cell(q3, infoBottom, w, band));
    for (int i = 0; i < 6; ++i) layout.buttons[i] = ButtonSlot(w, band, h - band, i);
    return layout;
}

bool ShownIn(MainPart part, LayoutMode mode) {
    switch (part) {
        case MainPart::ControlPanel:
            return mode == LayoutMode::NoRun;
        case MainPart::MoveChart:
        case MainPart::VertChart:
        case MainPart::DepthRuler:
        case MainPart::QualityStrip:
        case MainPart::UnrolledImage:
        case MainPart::PrevPage:
        case MainPart::NextPage:
            return mode == LayoutMode::Run;
        default:
            return true;
    }
}

const char* MainPartName(MainPart part) {
    static constexpr const char* kNames[kMainPartCount] = {
        "Video",         "ControlPanel", "MoveChart", "VertChart", "Attitude",  "DepthRuler",
        "UnrolledImage", "PrevPage",     "NextPage",  "InfoPanel", "UploadBar", "QualityStrip"};
    const int index = static_cast<int>(part);
    return index >= 0 && index < kMainPartCount ? kNames[index] : "?";
}

}  // namespace bhv::ui
