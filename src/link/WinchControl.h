#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "link/Protocol.h"

namespace bhv {

// The winch and probe command state behind the information panel, the control panel and the
// calibration dialog: winch state and speed (repeated by the 100 ms poll), the brake refusal,
// and the one-shot light and calibration commands. Commands leave through `post`
// (command, value), which the controller binds to the link's PostCommand.
// User-interface thread only.
class WinchControl {
public:
    using Post = std::function<void(Command command, int value)>;

    explicit WinchControl(Post post) : post_(std::move(post)) {}

    // The operator pressed "停止" (0), "收线" (1) or "放线" (2). Reeling in or paying out while
    // the brake holds changes nothing (false: the controller shows the brake hint). Otherwise the
    // panel's report follows: Command::WinchAction and Command::WinchSpeed at once.
    bool Choose(int state, bool winchFree);
    // The operator chose a speed index 0..2.
    void ChooseSpeed(int speed);

    // The control panel's winch state and speed settings. A state that differs from the stored one
    // is stored and resets the bottom-still counter (true returned).
    bool ReportState(int state);
    void ReportSpeed(int speed);

    // An automatic stop at the hole mouth or on the bottom: state 0, the panel's report, and
    // Command::WinchAction 0 once more.
    void AutoStop();

    // The "电动模式" setting changed (the mode itself is kept in the configuration): the winch
    // stops.
    void StopForModeChange() { state_ = 0; }
    // A new connection: the winch starts stopped, whatever was chosen before.
    void ResetForConnection() { state_ = 0; }

    void LightStep(int step);  // Command::LedStep with 1 ("B-") or 2 ("B+")
    void CalibrationBegin();
    void CalibrationEnd();
    void HeadingZero();

    int State() const { return state_; }
    int Speed() const { return speed_; }

    // Called when a state change resets the bottom-still counter.
    std::function<void()> onBottomStillReset;

private:
    Post post_;
    int state_ = 0;
    int speed_ = 0;
};

}  // namespace bhv
