#include "link/WinchControl.h"

#include "link/Protocol.h"

namespace bhv {

bool WinchControl::Choose(int state, bool winchFree) {
    if ((state == kWinchReelIn || state == kWinchPayOut) && !winchFree) {
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
    post_(Command::WinchAction, state);
    if (state == state_) return false;
    state_ = state;
    if (onBottomStillReset) onBottomStillReset();
    return true;
}

void WinchControl::ReportSpeed(int speed) {
    post_(Command::WinchSpeed, speed);
    speed_ = speed;
}

void WinchControl::AutoStop() {
    state_ = kWinchStop;
    ReportState(kWinchStop);
    ReportSpeed(speed_);
    post_(Command::WinchAction, kWinchStop);
}

void WinchControl::LightStep(int step) {
    post_(Command::LedStep, step);
}
void WinchControl::CalibrationBegin() {
    post_(Command::CalibrationBegin, 0);
}
void WinchControl::CalibrationEnd() {
    post_(Command::CalibrationEnd, 0);
}
void WinchControl::HeadingZero() {
    post_(Command::HeadingZero, 0);
}

}  // namespace bhv
