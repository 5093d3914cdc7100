#pragma once

#include <cstdint>

namespace bhv {

// The ring of the bottom camera's image: the annulus between two circles around one centre, in
// whole pixels of the picture it lies on (the reference frame, the working frame or the live
// video window; whoever holds one says which). The system configuration keeps it, the
// unwrapping cuts the wall's bands from it, the live video draws it.
struct Ring {
    int32_t centreX = 0;    // column of the centre
    int32_t centreY = 0;    // row of the centre
    int32_t radiusIn = 0;   // inner circle
    int32_t radiusOut = 0;  // outer circle
    bool operator==(const Ring&) const = default;
};

}  // namespace bhv
