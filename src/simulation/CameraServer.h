#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "camera/sdk/CameraProtocol.h"
#include "platform/Socket.h"
#include "simulation/SimulatedCameraEncoder.h"

namespace bhv {

// Where the probe's camera is and where it looks.
struct CameraPose {
    double depthTenthsMm = 0.0;
    double headingDeg = 0.0;
};

// The probe's pose now (thread-safe; called from the camera's streaming thread).
using CameraPoseSource = std::function<CameraPose()>;
// Renders the picture for a pose into `yuv` (planar YUV 4:2:0 of the configured size, already
// sized by the caller); false when there is no picture.
using CameraFrameSource = std::function<bool(const CameraPose& pose, std::vector<uint8_t>& yuv)>;

struct CameraServerOptions {
    std::string user = "admin";
    std::string password = "KWP396";
    // Accept only an empty password (a camera reset to factory settings).
    bool emptyPasswordOnly = false;
    int width = 2592;
    int height = 1944;
    int fps = 20;  // 20 or 15, as the encoding record allows
    // A camera that delivers fewer pictures than its record says: the stream runs at this rate
    // whatever the record holds (0: the record's rate).
    int deliveredFps = 0;
    int gop = 20;  // pictures from one key frame to the next
    int crf = 30;  // encoder quality
    // The niceness of the streaming thread and of the threads it starts (rendering, the
    // encoder's): 0 leaves it as started. A real camera renders and encodes on its own hardware;
    // on the program's own machine a positive value lets the program go first.
    int niceness = 0;
};

// The probe's network camera for the site simulator and tests: serves the camera protocol
// (docs/camera-protocol.md) on a TCP port, keeps the clock (18), encoding (68) and colour (84)
// device records, and streams H.264 of the frame source at the pose source's pose, at the frame
// rate of the encoding record, to every live-stream connection. It can instead replay a clip
// encoded in advance, and it has switches for the faults the program must survive.
//
// Threads: one accepting thread, one thread per connection and one streaming thread (which
// renders and encodes only while a stream is watched; live, it renders each next picture on a
// helper task while it encodes the current one); all are joined by Stop.
class CameraServer {
public:
    CameraServer(CameraFrameSource frames, CameraPoseSource pose, CameraServerOptions options = {});
    ~CameraServer();
    CameraServer(const CameraServer&) = delete;
    CameraServer& operator=(const CameraServer&) = delete;

    // Listens on ip:port (port 0: any free port); false when the port cannot be had.
    bool Start(uint16_t port = 0, const std::string& ip = "127.0.0.1");
    void Stop();
    uint16_t Port() const { return listener_.Port(); }

    // Renders and encodes `frames` pictures now (poses from the pose source) and from then on
    // replays them in a loop instead of rendering live. `frames` is rounded up to whole key-frame
    // intervals so that the loop joins cleanly.
    bool UsePrerenderedClip(int frames);

    // A copy of a device record (18, 68 or 84); empty for another command.
    std::vector<uint8_t> Record(uint32_t command) const;
    int32_t FrameRate() const;
    // The clock records received by the clock call, oldest first.
    std::vector<std::vector<uint8_t>> ClockCalls() const;
    int LoginAttempts() const { return loginAttempts_.load(); }
    std::vector<std::string> PasswordsTried() const;

    // Faults.
    void SetEmptyPasswordOnly(bool on) { emptyPasswordOnly_ = on; }
    // While paused the stream sends nothing (a camera whose stream stops).
    void PauseStream(bool paused) { paused_ = paused; }
    // Closes every live-stream connection.
    void DropStreams();
    // The next `count` access units are sent damaged: every other one cut to half its length,
    // the others with bytes overwritten in the middle.
    void CorruptNextUnits(int count) { corruptUnits_ = count; }
    // The stream changes its resolution: the pictures are scaled to width x height (even, at
    // least 16 x 16) from the next one on, in a new key frame, as a camera switched to another
    // mode sends them; 0 x 0 goes back to the configured size. False for a size it cannot
    // send.
    bool SetStreamSize(int width, int height);

    // Figures of the stream so far.
    uint64_t UnitsSent() const { return unitsSent_.load(); }
    uint64_t FramesEncoded() const { return framesEncoded_.load(); }
    uint64_t FramesLate() const { return framesLate_.load(); }
    double RenderMsTotal() const { return renderUs_.load() / 1000.0; }
    double EncodeMsTotal() const { return encodeUs_.load() / 1000.0; }

private:
    struct Connection {
        TcpSocket socket;
        std::thread thread;
        std::atomic<bool> done{false};
    };
    struct Subscriber {
        TcpSocket* socket = nullptr;
        bool waitingForKey = true;
    };

    void AcceptLoop();
    void Serve(Connection* connection);
    std::optional<sdk::CameraMessage> Handle(const sdk::CameraMessage& request);
    void WatchStream(Connection* connection);
    void StreamLoop();
    void Publish(const EncodedUnit& unit);
    void ApplyColour(std::vector<uint8_t>& yuv) const;
    bool ValidSession(int32_t session);
    void ReapConnections(bool all);

    CameraFrameSource frames_;
    CameraPoseSource pose_;
    CameraServerOptions options_;

    TcpListener listener_;
    std::atomic<bool> running_{false};
    std::thread acceptThread_;
    std::mutex connectionsMutex_;
    std::list<std::unique_ptr<Connection>> connections_;

    mutable std::mutex recordsMutex_;
    std::map<uint32_t, std::vector<uint8_t>> records_;
    std::vector<std::vector<uint8_t>> clockCalls_;
    std::vector<std::string> passwordsTried_;
    std::set<int32_t> sessions_;
    int32_t nextSession_ = 1000;

    std::mutex streamMutex_;  // guards subscribers_ and the sends to them
    std::condition_variable streamCv_;
    std::vector<Subscriber> subscribers_;
    std::thread streamThread_;
    std::atomic<bool> forceKey_{true};

    std::vector<EncodedUnit> clip_;  // set before streaming starts or under streamMutex_
    bool useClip_ = false;

    std::atomic<bool> emptyPasswordOnly_{false};
    std::atomic<bool> paused_{false};
    std::atomic<int> corruptUnits_{0};
    std::atomic<uint32_t> streamSize_{0};  // width << 16 | height; 0: the configured size
    std::atomic<int> loginAttempts_{0};
    std::atomic<bool> dropStreams_{false};
    std::atomic<uint64_t> unitsSent_{0}, framesEncoded_{0}, framesLate_{0}, renderUs_{0},
        encodeUs_{0};
};

}  // namespace bhv
