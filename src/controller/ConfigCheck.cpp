#include "controller/ConfigCheck.h"

#include <cmath>
#include <sstream>

#include "controller/InputRanges.h"
#include "imaging/RingUnwrap.h"
#include "platform/Text.h"

namespace bhv {
namespace {

template <class T>
std::wstring Line(const char* key, T found, T fallback) {
    std::ostringstream s;
    s << key << '=' << found;
    std::ostringstream d;
    d << fallback;
    return L"配置参数" + ToWide(s.str()) + L"超出范围，已改用默认值" + ToWide(d.str());
}

template <class T>
void FallBack(std::vector<std::wstring>& lines, const char* key, T& value, T fallback) {
    lines.push_back(Line(key, value, fallback));
    value = fallback;
}

bool RingFits(int32_t cx, int32_t cy, int32_t rIn, int32_t rOut, int width, int height) {
    return RingFitsFrame(Ring{cx, cy, rIn, rOut}, width, height);
}

}  // namespace

std::vector<std::wstring> CheckConfigValues(SysConfigParam& c) {
    const SysConfigParam d;  // the defaults
    std::vector<std::wstring> lines;
    if (!input::kDiameterMm.Contains(c.diameterTenthsMm / 10.0))
        FallBack(lines, "Diameter", c.diameterTenthsMm, d.diameterTenthsMm);
    if (!input::kTiltCorrectionDeg.Contains(c.tiltAdjust))
        FallBack(lines, "fTiltAdjust", c.tiltAdjust, d.tiltAdjust);

    // The ring in the reference frame: each radius on its own, then the pair, then the centre,
    // and the whole ring only when nothing less makes it fit.
    if (c.radiusIn < 0) FallBack(lines, "RadiusIn", c.radiusIn, d.radiusIn);
    if (c.radiusOut <= 0) FallBack(lines, "RadiusOut", c.radiusOut, d.radiusOut);
    if (c.radiusIn >= c.radiusOut) {
        FallBack(lines, "RadiusIn", c.radiusIn, d.radiusIn);
        FallBack(lines, "RadiusOut", c.radiusOut, d.radiusOut);
    }
    constexpr int kWidth = 1440, kHeight = 1080;
    if (!RingFits(c.centreX, c.centreY, c.radiusIn, c.radiusOut, kWidth, kHeight) &&
        RingFits(d.centreX, d.centreY, c.radiusIn, c.radiusOut, kWidth, kHeight)) {
        FallBack(lines, "Xoffset", c.centreX, d.centreX);
        FallBack(lines, "Yoffset", c.centreY, d.centreY);
    }
    if (!RingFits(c.centreX, c.centreY, c.radiusIn, c.radiusOut, kWidth, kHeight)) {
        if (c.centreX != d.centreX) FallBack(lines, "Xoffset", c.centreX, d.centreX);
        if (c.centreY != d.centreY) FallBack(lines, "Yoffset", c.centreY, d.centreY);
        if (c.radiusIn != d.radiusIn) FallBack(lines, "RadiusIn", c.radiusIn, d.radiusIn);
        if (c.radiusOut != d.radiusOut) FallBack(lines, "RadiusOut", c.radiusOut, d.radiusOut);
    }
    c.SetStitchClarity(c.stitchClarity);
    return lines;
}

bool WorkingRingFits(const SysConfigParam& c) {
    return RingFitsFrame(c.workRing, c.workFrameWidth, c.workFrameHeight);
}

}  // namespace bhv
