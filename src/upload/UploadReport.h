#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace bhv {

// What the upload job reports for its status line and keeps as its last message. The job
// composes no operator texts: the controller words each of these (UploadText).
enum class UploadNote {
    None,              // nothing (the status line cleared)
    WaitingForData,    // the worker waits for pictures
    PictureFile,       // the picture about to be sent: `path`
    PictureHeader,     // the picture's header packet goes out
    Progress,          // `depthMm` and `percent` of the picture under way
    ProjectEnd,        // the project end packet goes out
    NoPictureChosen,   // a queued entry without a path
    CannotOpenFile,    // the picture cannot be read
    EmptyFile,         // the picture has no bytes
    HeaderFailed,      // the header packet was not accepted
    DataPacketFailed,  // data packet `packet` of `packetCount` was not accepted
    Incomplete,        // the data packets stopped before the last
    EndPacketFailed,   // the picture's end packet was not accepted
    PictureSent,       // the picture is on the data server
    ProjectEndFailed,  // the project end was not accepted
};

struct UploadReport {
    UploadReport(UploadNote n = UploadNote::None) : note(n) {}  // NOLINT: a note alone
    static UploadReport File(std::wstring path) {
        UploadReport r(UploadNote::PictureFile);
        r.path = std::move(path);
        return r;
    }
    static UploadReport ProgressOf(int32_t depthMm, int percent) {
        UploadReport r(UploadNote::Progress);
        r.depthMm = depthMm;
        r.percent = percent;
        return r;
    }
    static UploadReport PacketFailed(int32_t packet, int32_t packetCount) {
        UploadReport r(UploadNote::DataPacketFailed);
        r.packet = packet;
        r.packetCount = packetCount;
        return r;
    }

    UploadNote note;
    std::wstring path;        // PictureFile
    int32_t depthMm = 0;      // Progress
    int percent = 0;          // Progress
    int32_t packet = 0;       // DataPacketFailed
    int32_t packetCount = 0;  // DataPacketFailed

    bool operator==(const UploadReport&) const = default;
};

// The answer of a registration at run start.
enum class RegistrationResult {
    Registered,      // the data server took the project: the run may start
    NotNeeded,       // real-time upload is off: the run starts without a project
    UploadUnderWay,  // a project is still registered: the operator decides whether to interrupt
                     // it (UploadJob::ForceInterruption); this start does not go on
    Pending,         // a registration is waiting for its answer already
    NoSerialNumber,  // the settings have no serial number; nothing was sent
    NoPileNumber,    // no construction number
    NoHoleNumber,    // no hole number
    NoConnection,    // the data server could not be reached
    ProjectExists,   // the data server knows the project already
    Refused,         // any other answer
    Abandoned,       // given up (the program closes): no box
};

inline bool RunMayStart(RegistrationResult result) {
    return result == RegistrationResult::Registered || result == RegistrationResult::NotNeeded;
}

}  // namespace bhv
