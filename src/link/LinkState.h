#pragma once

#include <cstdint>

namespace bhv {

// The link bookkeeping that the controller holds and that the connections (poll, watchdogs,
// acknowledged send) and the telemetry (alive flags, acknowledgements) share. Used on the
// user-interface thread only.
struct LinkState {
    explicit LinkState(int64_t constructionTimeSeconds = 0)
        : hostLastHeard(constructionTimeSeconds), probeLastHeard(constructionTimeSeconds) {}

    bool connected = false;
    bool busy = false;  // the connect sequence is running
    bool hostAlive = false;
    bool probeAlive = false;
    int64_t hostLastHeard;   // whole seconds; pushed 5 s ahead by each reconnect attempt
    int64_t probeLastHeard;
    int32_t lastAcknowledgement = 0;  // 131, 134 or 143; cleared by each acknowledged send
    int32_t probeState = 0;           // 5 after an acknowledged send; shown in the run log
    bool attitudeViewOnline = false;  // what the attitude view currently shows
};

}  // namespace bhv
