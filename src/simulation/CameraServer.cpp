#include "simulation/CameraServer.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <opencv2/imgproc.hpp>

#include "camera/sdk/NetSdk.h"
#include "platform/Trace.h"

namespace bhv {

using sdk::CameraMessage;
using sdk::CameraMsg;
namespace devcfg = sdk::devcfg;

namespace {

int64_t MicrosSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

CameraMessage Reply(const CameraMessage& request, int16_t status = 0) {
    return CameraMessage{request.type, status, request.session, {}};
}

}  // namespace

CameraServer::CameraServer(CameraFrameSource frames, CameraPoseSource pose,
                           CameraServerOptions options)
    : frames_(std::move(frames)), pose_(std::move(pose)), options_(std::move(options)) {
    emptyPasswordOnly_ = options_.emptyPasswordOnly;
    std::vector<uint8_t> clock(devcfg::kClockSize, 0);
    sdk::WriteField(clock.data(), devcfg::kClockYear, 2020);
    sdk::WriteField(clock.data(), devcfg::kClockMonth, 1);
    sdk::WriteField(clock.data(), devcfg::kClockDay, 1);
    sdk::WriteField(clock.data(), devcfg::kClockKeep, 3);  // the device's own day of the week
    records_[devcfg::kCmdClock] = clock;
    std::vector<uint8_t> encode(devcfg::kEncodeSize, 0);
    sdk::WriteField(encode.data(), 0, options_.width);
    sdk::WriteField(encode.data(), 4, options_.height);
    sdk::WriteField(encode.data(), devcfg::kEncodeFrameRate, options_.fps);
    records_[devcfg::kCmdEncode] = encode;
    std::vector<uint8_t> colour(devcfg::kColorSize, 0);
    sdk::WriteField(colour.data(), devcfg::kColorBrightness, 50);
    sdk::WriteField(colour.data(), devcfg::kColorContrast, 50);
    sdk::WriteField(colour.data(), devcfg::kColorSaturation, 50);
    records_[devcfg::kCmdColor] = colour;
}

CameraServer::~CameraServer() {
    Stop();
}

bool CameraServer::Start(uint16_t port, const std::string& ip) {
    if (running_) return false;
    if (!listener_.Listen(ip, port)) return false;
    running_ = true;
    acceptThread_ = std::thread(&CameraServer::AcceptLoop, this);
    streamThread_ = std::thread(&CameraServer::StreamLoop, this);
    return true;
}

void CameraServer::Stop() {
    if (!running_.exchange(false)) return;
    if (acceptThread_.joinable()) acceptThread_.join();
    listener_.Close();
    {
        std::lock_guard lock(connectionsMutex_);
        for (auto& connection : connections_) connection->socket.Shutdown();
    }
    ReapConnections(true);
    {
        std::lock_guard lock(streamMutex_);
        subscribers_.clear();
    }
    streamCv_.notify_all();
    if (streamThread_.joinable()) streamThread_.join();
}

void CameraServer::AcceptLoop() {
    while (running_) {
        TcpSocket socket = listener_.Accept(100);
        ReapConnections(false);
        if (!socket.IsOpen()) continue;
        auto connection = std::make_unique<Connection>();
        connection->socket = std::move(socket);
        Connection* raw = connection.get();
        std::lock_guard lock(connectionsMutex_);
        connections_.push_back(std::move(connection));
        raw->thread = std::thread(&CameraServer::Serve, this, raw);
    }
}

void CameraServer::ReapConnections(bool all) {
    std::list<std::unique_ptr<Connection>> finished;
    {
        std::lock_guard lock(connectionsMutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if (all || (*it)->done) {
                finished.push_back(std::move(*it));
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& connection : finished)
        if (connection->thread.joinable()) connection->thread.join();
}

void CameraServer::Serve(Connection* connection) {
    while (running_) {
        auto request = sdk::ReceiveMessage(connection->socket, -1);
        if (!request) break;
        if (request->type == CameraMsg::StartStream) {
            if (!ValidSession(request->session)) {
                sdk::SendMessage(connection->socket, Reply(*request, sdk::kSdkNotLoggedIn));
                continue;
            }
            if (!sdk::SendMessage(connection->socket, Reply(*request))) break;
            WatchStream(connection);
            break;
        }
        const auto reply = Handle(*request);
        if (!reply || !sdk::SendMessage(connection->socket, *reply)) break;
    }
    connection->done = true;
}

bool CameraServer::ValidSession(int32_t session) {
    std::lock_guard lock(recordsMutex_);
    return sessions_.count(session) != 0;
}

std::optional<CameraMessage> CameraServer::Handle(const CameraMessage& request) {
    const auto& p = request.payload;
    if (request.type == CameraMsg::Login) {
        ++loginAttempts_;
        const auto userEnd = std::find(p.begin(), p.end(), uint8_t{0});
        if (userEnd == p.end()) return Reply(request, sdk::kSdkBadArgument);
        const auto passwordEnd = std::find(userEnd + 1, p.end(), uint8_t{0});
        if (passwordEnd == p.end()) return Reply(request, sdk::kSdkBadArgument);
        const std::string user(p.begin(), userEnd), password(userEnd + 1, passwordEnd);
        std::lock_guard lock(recordsMutex_);
        passwordsTried_.push_back(password);
        const bool ok = user == options_.user &&
                        (emptyPasswordOnly_ ? password.empty() : password == options_.password);
        if (!ok) return Reply(request, sdk::kSdkBadPassword);
        CameraMessage reply = Reply(request);
        reply.session = nextSession_++;
        sessions_.insert(reply.session);
        const std::string serial = "BHV-SIM-CAMERA";
        reply.payload.assign(serial.begin(), serial.end());
        return reply;
    }
    if (!ValidSession(request.session)) return Reply(request, sdk::kSdkNotLoggedIn);

    switch (request.type) {
        case CameraMsg::Logout: {
            std::lock_guard lock(recordsMutex_);
            sessions_.erase(request.session);
            return Reply(request);
        }
        case CameraMsg::AlarmSubscribe:
            return Reply(request);
        case CameraMsg::KeyFrame:
            forceKey_ = true;
            return Reply(request);
        case CameraMsg::GetConfig: {
            if (p.size() < 8) return Reply(request, sdk::kSdkBadArgument);
            const auto command = static_cast<uint32_t>(sdk::ReadInt32(p.data()));
            std::lock_guard lock(recordsMutex_);
            const auto it = records_.find(command);
            if (it == records_.end()) return Reply(request, sdk::kSdkBadArgument);
            CameraMessage reply = Reply(request);
            reply.payload = it->second;
            return reply;
        }
        case CameraMsg::SetConfig: {
            if (p.size() < 8) return Reply(request, sdk::kSdkBadArgument);
            const auto command = static_cast<uint32_t>(sdk::ReadInt32(p.data()));
            const std::vector<uint8_t> record(p.begin() + 8, p.end());
            std::lock_guard lock(recordsMutex_);
            const auto it = records_.find(command);
            if (it == records_.end() || record.size() != it->second.size())
                return Reply(request, sdk::kSdkBadArgument);
            if (command == devcfg::kCmdEncode) {
                const int32_t fps = sdk::ReadField(record.data(), devcfg::kEncodeFrameRate);
                if (fps != 20 && fps != 15) return Reply(request, sdk::kSdkRejected);
            }
            if (command == devcfg::kCmdColor) {
                for (size_t offset :
                     {devcfg::kColorBrightness, devcfg::kColorContrast, devcfg::kColorSaturation}) {
                    const int32_t value = sdk::ReadField(record.data(), offset);
                    if (value < 0 || value > 100) return Reply(request, sdk::kSdkRejected);
                }
            }
            it->second = record;
            return Reply(request);
        }
        case CameraMsg::SetClock: {
            if (p.size() != devcfg::kClockSize) return Reply(request, sdk::kSdkBadArgument);
            std::lock_guard lock(recordsMutex_);
            clockCalls_.push_back(p);
            return Reply(request);
        }
        default:
            return Reply(request, sdk::kSdkBadArgument);
    }
}

void CameraServer::WatchStream(Connection* connection) {
    {
        std::lock_guard lock(streamMutex_);
        subscribers_.push_back({&connection->socket, true});
    }
    forceKey_ = true;
    streamCv_.notify_all();
    // The client sends nothing more on a stream connection; it ends the stream by closing it.
    while (running_ && sdk::ReceiveMessage(connection->socket, -1)) {
    }
    std::lock_guard lock(streamMutex_);
    std::erase_if(subscribers_,
                  [&](const Subscriber& s) { return s.socket == &connection->socket; });
}

bool CameraServer::SetStreamSize(int width, int height) {
    if (width == 0 && height == 0) {
        streamSize_ = 0;
        return true;
    }
    if (width < 16 || height < 16 || width > 8192 || height > 8192 || width % 2 || height % 2)
        return false;
    streamSize_ = static_cast<uint32_t>(width) << 16 | static_cast<uint32_t>(height);
    return true;
}

namespace {

// Scales a planar YUV 4:2:0 picture to another size, plane by plane.
void ScaleI420(const std::vector<uint8_t>& from, int fromW, int fromH, std::vector<uint8_t>& to,
               int toW, int toH) {
    to.resize(static_cast<size_t>(toW) * toH * 3 / 2);
    const uint8_t* src = from.data();
    uint8_t* dst = to.data();
    for (int plane = 0; plane < 3; ++plane) {
        const int sw = plane ? fromW / 2 : fromW, sh = plane ? fromH / 2 : fromH;
        const int dw = plane ? toW / 2 : toW, dh = plane ? toH / 2 : toH;
        const cv::Mat in(sh, sw, CV_8UC1, const_cast<uint8_t*>(src));
        cv::Mat out(dh, dw, CV_8UC1, dst);
        cv::resize(in, out, out.size(), 0, 0, cv::INTER_AREA);
        src += static_cast<size_t>(sw) * sh;
        dst += static_cast<size_t>(dw) * dh;
    }
}

}  // namespace

void CameraServer::DropStreams() {
    // Done by the next publish: the stream thread holds the stream lock while it sends to a
    // slow client, and the command that asks for the drop must not wait for it.
    dropStreams_ = true;
}

void CameraServer::Publish(const EncodedUnit& unit) {
    std::vector<uint8_t> bytes = unit.bytes;
    if (corruptUnits_ > 0) {
        const int left = corruptUnits_--;
        if (left % 2 == 0) {
            bytes.resize(bytes.size() / 2);
        } else {
            const size_t start = bytes.size() / 2;
            for (size_t i = start; i < std::min(bytes.size(), start + 256); ++i) bytes[i] ^= 0x5A;
        }
    }
    const std::vector<uint8_t> message =
        sdk::EncodeMessage(CameraMessage{CameraMsg::StreamData, 0, 0, std::move(bytes)});
    std::lock_guard lock(streamMutex_);
    if (dropStreams_.exchange(false)) {
        for (auto& subscriber : subscribers_) subscriber.socket->Shutdown();
        subscribers_.clear();
    }
    bool sent = false;
    for (auto it = subscribers_.begin(); it != subscribers_.end();) {
        if (it->waitingForKey && !unit.keyFrame) {
            ++it;
            continue;
        }
        it->waitingForKey = false;
        if (!it->socket->SendAll(message.data(), message.size())) {
            it = subscribers_.erase(it);
            continue;
        }
        sent = true;
        ++it;
    }
    if (sent) ++unitsSent_;
}

void CameraServer::ApplyColour(std::vector<uint8_t>& yuv) const {
    int32_t brightness, contrast, saturation;
    {
        std::lock_guard lock(recordsMutex_);
        const uint8_t* record = records_.at(devcfg::kCmdColor).data();
        brightness = sdk::ReadField(record, devcfg::kColorBrightness);
        contrast = sdk::ReadField(record, devcfg::kColorContrast);
        saturation = sdk::ReadField(record, devcfg::kColorSaturation);
    }
    if (brightness == 50 && contrast == 50 && saturation == 50) return;
    uint8_t lumaMap[256], chromaMap[256];
    for (int v = 0; v < 256; ++v) {
        const int luma = (v - 128) * contrast / 50 + 128 + (brightness - 50) * 2;
        const int chroma = (v - 128) * saturation / 50 + 128;
        lumaMap[v] = static_cast<uint8_t>(std::clamp(luma, 0, 255));
        chromaMap[v] = static_cast<uint8_t>(std::clamp(chroma, 0, 255));
    }
    const size_t lumaSize = static_cast<size_t>(options_.width) * options_.height;
    for (size_t i = 0; i < yuv.size(); ++i)
        yuv[i] = i < lumaSize ? lumaMap[yuv[i]] : chromaMap[yuv[i]];
}

int32_t CameraServer::FrameRate() const {
    std::lock_guard lock(recordsMutex_);
    return sdk::ReadField(records_.at(devcfg::kCmdEncode).data(), devcfg::kEncodeFrameRate);
}

std::vector<uint8_t> CameraServer::Record(uint32_t command) const {
    std::lock_guard lock(recordsMutex_);
    const auto it = records_.find(command);
    return it == records_.end() ? std::vector<uint8_t>{} : it->second;
}

std::vector<std::vector<uint8_t>> CameraServer::ClockCalls() const {
    std::lock_guard lock(recordsMutex_);
    return clockCalls_;
}

std::vector<std::string> CameraServer::PasswordsTried() const {
    std::lock_guard lock(recordsMutex_);
    return passwordsTried_;
}

bool CameraServer::UsePrerenderedClip(int frames) {
    const int gop = std::max(options_.gop, 1);
    frames = std::max(1, (frames + gop - 1) / gop) * gop;
    SimulatedCameraEncoder encoder;
    if (!encoder.Open(options_.width, options_.height, FrameRate(), gop, options_.crf))
        return false;
    std::vector<uint8_t> yuv(static_cast<size_t>(options_.width) * options_.height * 3 / 2);
    std::vector<EncodedUnit> clip;
    for (int i = 0; i < frames; ++i) {
        if (!frames_(pose_(), yuv)) return false;
        ApplyColour(yuv);
        for (auto& unit : encoder.Encode(yuv.data(), i % gop == 0)) clip.push_back(std::move(unit));
    }
    if (clip.empty()) return false;
    std::lock_guard lock(streamMutex_);
    clip_ = std::move(clip);
    useClip_ = true;
    return true;
}

void CameraServer::StreamLoop() {
    using Clock = std::chrono::steady_clock;
    // Linux keeps the niceness per thread, and threads started from here inherit it.
    if (options_.niceness > 0 &&
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), options_.niceness) !=
            0)
        Trace(TraceCategory::Sim, "CameraServer: the streaming thread's niceness was not set");
    SimulatedCameraEncoder encoder;
    const size_t frameBytes = static_cast<size_t>(options_.width) * options_.height * 3 / 2;
    // Live, the next picture is rendered on a helper thread while this one is encoded, so that
    // rendering and encoding each have a whole frame period (the picture goes out one period
    // after its pose was taken).
    std::vector<uint8_t> current(frameBytes), next(frameBytes), scaled;
    std::future<bool> rendering;
    auto renderNext = [this, &next] {
        return std::async(std::launch::async, [this, &next] {
            const auto start = Clock::now();
            const bool ok = frames_(pose_(), next);
            if (ok) ApplyColour(next);
            renderUs_ += MicrosSince(start);
            return ok;
        });
    };
    size_t clipIndex = 0;
    Clock::time_point nextTick = Clock::now();
    while (running_) {
        {
            std::unique_lock lock(streamMutex_);
            if (subscribers_.empty()) {
                // Nobody watches: a picture rendered ahead would be stale when someone does.
                if (rendering.valid()) {
                    lock.unlock();
                    rendering.wait();
                    rendering = {};
                    lock.lock();
                }
                streamCv_.wait(lock, [this] { return !running_ || !subscribers_.empty(); });
                nextTick = Clock::now();
            }
        }
        if (!running_) break;
        const int fps =
            std::clamp(options_.deliveredFps > 0 ? options_.deliveredFps : FrameRate(), 1, 60);
        const auto period = std::chrono::microseconds(1000000 / fps);
        const auto now = Clock::now();
        if (now > nextTick + period) {
            // Rendering fell behind: count it and keep the pace from here instead of bursting.
            ++framesLate_;
            nextTick = now;
        }
        std::this_thread::sleep_until(nextTick);
        nextTick += period;
        if (paused_) continue;

        bool replay;
        EncodedUnit unit;
        {
            std::lock_guard lock(streamMutex_);
            replay = useClip_;
            if (replay) unit = clip_[clipIndex++ % clip_.size()];
        }
        if (replay) {
            Publish(unit);
            continue;
        }
        if (!rendering.valid()) rendering = renderNext();
        const bool rendered = rendering.get();
        std::swap(current, next);
        rendering = renderNext();
        if (!rendered) continue;
        const auto start = Clock::now();
        const uint32_t size = streamSize_.load();
        const int width = size ? static_cast<int>(size >> 16) : options_.width;
        const int height = size ? static_cast<int>(size & 0xFFFF) : options_.height;
        if (!encoder.IsOpen() || encoder.Fps() != fps || encoder.Width() != width ||
            encoder.Height() != height) {
            if (!encoder.Open(width, height, fps, options_.gop, options_.crf)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                continue;
            }
            forceKey_ = true;
        }
        const uint8_t* picture = current.data();
        if (width != options_.width || height != options_.height) {
            ScaleI420(current, options_.width, options_.height, scaled, width, height);
            picture = scaled.data();
        }
        const auto units = encoder.Encode(picture, forceKey_.exchange(false));
        encodeUs_ += MicrosSince(start);
        ++framesEncoded_;
        for (const auto& u : units) Publish(u);
    }
    if (rendering.valid()) rendering.wait();
}

}  // namespace bhv
