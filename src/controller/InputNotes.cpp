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

std::wstring Int(int64_t v) { return std::to_wstring(v); }

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
        case InputNote::Kind::AttitudeRefused: break;  // no figure of the interval fits
        }
    }
}

}  // namespace bhv
