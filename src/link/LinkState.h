#pragma once

#include <cstdint>

namespace bhv {

// The link's bookkeeping: owned and written by the Link alone (its connect sequence, poll,
// watchdogs, acknowledged send and the received messages it is shown), read by its owner.
// Used on the user-interface thread only.
struct LinkState {
    explicit LinkState(int64_t constructionTimeSeconds = 0)
        : hostLastHeard(constructionTimeSeconds), probeLastHeard(constructionTimeSeconds) {}

    bool connected = false;
    bool hostAlive = false;
    bool probeAlive = false;
    int64_t hostLastHeard;  // whole seconds; pushed 5 s ahead by each reconnect attempt
    int64_t probeLastHeard;
    int32_t lastAcknowledgement = 0;  // 131, 134 or 143; cleared by each acknowledged send
    int32_t probeState = 0;           // 5 after an acknowledged send; shown in the run log
};

// What the link tells its owner, on the owner's thread. Each does nothing by default.
class LinkEvents {
public:
    virtual ~LinkEvents() = default;
    // The host unit was silent for over 3 s: its connection is being made again.
    virtual void OnHostLost() {}
    // The probe was silent for over 3 s: its connection is being made again.
    virtual void OnProbeLost() {}
    // Disconnect has closed both connections; what was received before it has been dropped.
    virtual void OnDisconnected() {}
};

}  // namespace bhv
