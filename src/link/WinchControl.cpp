#include "link/WinchControl.h"

#include "link/Protocol.h"
#include "platform/Prompter.h"

namespace bhv {

bool WinchControl::Choose(int state, bool winchFree) {
    if ((state == kWinchReelIn || state == kWinchPayOut) && !winchFree) {
        prompter_.Tell(kBrakeHint);
        return false;
    }
    ReportState(state);
    ReportSpeed(speed_);
    return true;
}

void WinchControl::ChooseSpeed(int speed) {
    ReportState(state_);
    ReportSpeed(speed);
}

bool WinchControl::ReportState(int state) {
    post_(CMD_WINCH_ACTION, state);
    if (state == state_) return false;
    state_ = state;
    if (onBottomStillReset) onBottomStillReset();
    return true;
}

void WinchControl::ReportSpeed(int speed) {
    post_(CMD_WINCH_SPEED, speed);
    speed_ = speed;
}

void WinchControl::AutoStop() {
    state_ = kWinchStop;
    ReportState(kWinchStop);
    ReportSpeed(speed_);
    post_(CMD_WINCH_ACTION, kWinchStop);
}

void WinchControl::LightStep(int step) {
    post_(CMD_LED_STEP, step);
}
void WinchControl::CalibrationBegin() {
    post_(CMD_CALIB_BEGIN, 0);
}
void WinchControl::CalibrationEnd() {
    post_(CMD_CALIB_END, 0);
}
void WinchControl::HeadingZero() {
    post_(CMD_HEADING_ZERO, 0);
}

}  // namespace bhv
