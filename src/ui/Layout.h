#pragma once

// The geometry of the main window as pure functions of its client size: the bottom row of
// buttons, the live video kept at the working frame's aspect, and every view's rectangle. The
// window only applies what these return, so the arrangement is tested without a display.

#include <QRect>
#include <QSize>
#include <array>
#include <string>

#include "controller/AcquisitionView.h"

namespace bhv::ui {

// The six buttons of the bottom band (index 0 to 5, left to right): equal slots of
// (W - 9) / 6 pixels from x = 7, each 5 pixels narrower than its slot, 7 pixels below the band's
// top and 14 pixels lower than the band.
QRect ButtonSlot(int clientWidth, int bandTop, int bandHeight, int index);

// The largest rectangle of the working frame's aspect inside `area`, centred across the spare
// direction: narrower when the area is wider than the frame, lower otherwise.
QRect AspectFit(const QRect& area, int workWidth, int workHeight);

// The quality strip's cell between the ruler and the image view (the image view is that much
// narrower; nothing else moves).
inline constexpr int kQualityStripWidth = 6;

// Every part of the main window that the layout places.
enum class MainPart {
    Video,          // the bottom live video, aspect kept inside the left half
    ControlPanel,   // right half, top 60 % of the view band; no run only
    MoveChart,      // 50 % to 66 % of the width, same height; run only
    VertChart,      // 66 % to 75 %; run only
    Attitude,       // third quarter, the band's remaining 40 %
    DepthRuler,     // fourth quarter, 50 px wide; run only
    UnrolledImage,  // beside the quality strip; run only
    PrevPage,       // "上一张" under the image view; run only
    NextPage,       // "下一张"; run only
    InfoPanel,      // fourth quarter, 13 % of the band below its top 80 %
    UploadBar,      // fourth quarter, the band's last 7 %
    QualityStrip,   // between the ruler and the image view, 6 px wide; run only
    Count
};
inline constexpr int kMainPartCount = static_cast<int>(MainPart::Count);

struct MainLayout {
    QRect videoArea;  // the left half of the view band (the video's black surround)
    std::array<QRect, kMainPartCount> parts;
    std::array<QRect, 6> buttons;  // indexed by MainButton
    const QRect& operator[](MainPart part) const { return parts[static_cast<int>(part)]; }
};

// The rectangles for a client of `client` pixels: the view band takes the top 90 %, the
// button band the rest; neighbours keep a 2-pixel gap. The rectangles are the same in both run
// states; ShownIn tells which parts each state shows.
MainLayout ComputeMainLayout(QSize client, int workWidth, int workHeight);

// Whether the part is shown in the run state: the control panel without a run; the charts, the
// ruler, the quality strip, the image view and the page buttons during a run; everything else
// always.
bool ShownIn(MainPart part, LayoutMode mode);

// The part's name in messages and tests ("Video", "ControlPanel", ...).
const char* MainPartName(MainPart part);

}  // namespace bhv::ui
