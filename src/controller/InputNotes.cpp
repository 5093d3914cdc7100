#include "controller/InputNotes.h"

#include <cmath>
#include <cstdio>

#include "imaging/ImageRun.h"
#include "storage/RunLog.h"

namespace bhv {
namespace {

std::wstring Num(double v, const char* format) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return std::wstring(buf, buf + std::char_traits<char>::length(buf));
}

std::wstring Int(int64_t v) {
    return std::to_wstring(v);
}

}  // namespace

std::wstring InputNoteRunLogLine(const InputNote& n) {
    switch (n.kind) {
        case InputNote::Kind::DepthRefused:
            return L"DepthRefused:" + Int(n.reported) + L" kept:" + Int(n.depth) + L" jump:" +
                   Int(n.amount) + L" n:" + Int(n.count);
        case InputNote::Kind::DepthBridged:
            return L"DepthBridged:" + Int(n.reported) + L" kept:" + Int(n.depth) + L" step:" +
                   Int(n.amount) + L" s:" + Num(n.gapSeconds, "%.1f") + L" n:" + Int(n.count);
        case InputNote::Kind::DepthBackward:
            return L"DepthBackward:" + Int(n.amount) + L" at:" + Int(n.depth) + L" from:" +
                   Int(n.reported) + L" n:" + Int(n.count);
        case InputNote::Kind::AttitudeRefused:
            return L"AttitudeRefused:" + std::wstring(n.field.begin(), n.field.end()) + L"=" +
                   Num(n.value, "%.3f") + L" n:" + Int(n.count);
    }
    return {};
}

void RecordInputNotes(const std::vector<InputNote>& notes, RunLog& log, ImageRun* imageRun) {
    for (const InputNote& n : notes) {
        if (n.log) log.WriteRunLog(InputNoteRunLogLine(n));
        if (!imageRun) continue;
        switch (n.kind) {
            case InputNote::Kind::DepthRefused:
            case InputNote::Kind::DepthBridged:
                imageRun->NoteLinkOutage(n.seconds);
                break;
            case InputNote::Kind::DepthBackward:
                imageRun->NoteEncoderDisagreement(std::abs(n.amount) / 10.0);
                break;
            case InputNote::Kind::AttitudeRefused:
                break;  // no figure of the interval fits
        }
    }
}

void CameraWatch::Reset(const CameraStreamCounters& now, double seconds) {
    *this = CameraWatch();
    last_ = now;
    lastPoll_ = seconds;
}

CameraWatch::Step CameraWatch::Poll(const CameraStreamCounters& now, double seconds,
                                    int32_t depth) {
    Step step;
    const uint64_t refused = now.framesRejected - last_.framesRejected;
    const uint64_t damaged = now.framesDamaged - last_.framesDamaged;
    const bool taken = now.framesTaken != last_.framesTaken;
    step.refusing = refused > 0;
    if (inGap_) {
        refusedInGap_ += refused;
        damagedInGap_ += damaged;
    }
    if (taken) {
        if (inGap_ && (refusedInGap_ > 0 || damagedInGap_ > 0))
            step.logLines.push_back(L"CameraBack: s:" + Num(seconds - lastFrame_, "%.1f") +
                                    L" refused:" + Int(static_cast<int64_t>(refusedInGap_)) +
                                    L" damaged:" + Int(static_cast<int64_t>(damagedInGap_)) +
                                    L" at:" + Int(depth));
        inGap_ = false;
        refusedLogged_ = false;
        refusedInGap_ = damagedInGap_ = 0;
        lastFrame_ = seconds;
    } else if (lastFrame_ >= 0 && seconds - lastFrame_ > kGapSeconds) {
        // The gap's time so far at its start, then poll by poll.
        step.outageSeconds = inGap_ ? seconds - lastPoll_ : seconds - lastFrame_;
        if (!inGap_) {
            refusedInGap_ = refused;
            damagedInGap_ = damaged;
        }
        inGap_ = true;
    }
    if (refused > 0 && !refusedLogged_ && (inGap_ || !taken)) {
        step.logLines.push_back(L"CameraRefused:" + Int(now.rejectedWidth) + L"x" +
                                Int(now.rejectedHeight) + L" type:" + Int(now.rejectedType) +
                                L" at:" + Int(depth));
        refusedLogged_ = true;
    }
    last_ = now;
    lastPoll_ = seconds;
    return step;
}

}  // namespace bhv
