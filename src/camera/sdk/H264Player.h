#pragma once

#include <cstdint>

namespace bhv::sdk {

// The stream player as the acquisition program calls it: raw H.264 bytes go in on a port,
// decoded frames come out through the decode callback on the player's own decode thread, the
// received stream can be recorded to a file and the newest decoded frame saved as a picture.
// Ports are small integers; every call returns non-zero (true) on success.
//
// Threads: open, start, recording and picture calls come from the user-interface thread; input
// comes from the camera client's receiving thread. Once SetDecodeCallback has returned, the
// previous callback is not running and will not be called again.

// Frame types reported to the decode callback.
inline constexpr int32_t kFrameTypeYuv420 = 3;
// A picture the decoder could not decode whole (damaged data, a lost reference), or one that
// leans on such a picture until the next key frame: concealed guesses, not what the camera
// saw. Same layout as kFrameTypeYuv420.
inline constexpr int32_t kFrameTypeYuv420Damaged = 103;

// Planar YUV 4:2:0 (the Y plane, then U, then V), `size` = width * height * 3 / 2 bytes.
// `pixels` stays valid only during the call.
using DecodedFrameCallback = void (*)(int32_t port, const uint8_t* pixels, int32_t size,
                                      int32_t width, int32_t height, int32_t stamp, int32_t type,
                                      void* user);

class H264Player {
public:
    virtual ~H264Player() = default;

    // Opens `port` for a stream, with an input pool of `poolSize` bytes; received data beyond the
    // pool is dropped.
    virtual bool OpenPort(int32_t port, const uint8_t* header, uint32_t headerSize,
                          uint32_t poolSize) = 0;
    // Stream mode: 0 = a live stream.
    virtual bool SetStreamMode(int32_t port, int32_t mode) = 0;
    virtual bool SetDecodeCallback(int32_t port, DecodedFrameCallback callback, void* user) = 0;
    // Starts the decode thread of the port; the window is never used.
    virtual bool StartPlayer(int32_t port, void* window) = 0;
    virtual bool InputData(int32_t port, const uint8_t* data, uint32_t length) = 0;
    // Records the received stream, from its next key frame, to `fileName` (type 2: AVI).
    virtual bool StartRecording(int32_t port, const char* fileName, int32_t type) = 0;
    virtual bool StopRecording(int32_t port) = 0;
    // True when a write of the port's recording (started last) failed; players that cannot
    // tell report false.
    virtual bool RecordingWriteFailed(int32_t /*port*/) { return false; }
    // Seconds from the start of the data recording to its first frame (the next key frame);
    // false while no frame was recorded.
    virtual bool RecordingLead(int32_t /*port*/, double& /*seconds*/) { return false; }
    // Saves the newest decoded frame as a JPEG picture (type 0).
    virtual bool SavePicture(int32_t port, const char* fileName, int32_t type) = 0;
};

}  // namespace bhv::sdk
