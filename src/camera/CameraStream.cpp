#include "camera/CameraStream.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <opencv2/core.hpp>

#include "camera/DisplayScaler.h"
#include "imaging/FrameQueue.h"
#include "platform/Clock.h"
#include "platform/ThreadName.h"
#include "platform/Trace.h"

namespace bhv {

namespace {
// CPU time of the calling thread, in nanoseconds.
int64_t ThreadCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}
}  // namespace

CameraStream::CameraStream(sdk::NetSdk& sdk, sdk::H264Player& player, CameraDevice& device,
                           const Clock& clock, CameraEvents events)
    : sdk_(sdk), player_(player), device_(&device), clock_(clock), events_(std::move(events)) {
    displayThread_ = std::thread(&CameraStream::DisplayLoop, this);
}

CameraStream::~CameraStream() {
    // No callback may reach this object once it is gone: stop the stream, detach the decoder
    // from it (waiting for a running callback), then end the display thread.
    StopPlay();
    if (PlayerPort != -1) player_.SetDecodeCallback(PlayerPort, nullptr, nullptr);
    quit_ = true;
    displayWake_.fetch_add(1, std::memory_order_release);
    displayWake_.notify_all();
    if (displayThread_.joinable()) displayThread_.join();
}

void CameraStream::SetBottomWindow(VideoSink* window) {
    bottomWindow_ = window;
    DisplayWindow = window;
}

CameraStreamCounters CameraStream::Counters() const {
    CameraStreamCounters c;
    c.framesRejected = framesRejected_;
    const uint64_t shape = rejectedShape_.load();
    c.rejectedWidth = static_cast<int32_t>(shape >> 40);
    c.rejectedHeight = static_cast<int32_t>((shape >> 16) & 0xFFFFFF);
    c.rejectedType = static_cast<int32_t>(shape & 0xFFFF);
    c.framesDamaged = framesDamaged_;
    c.framesTaken = framesTaken_;
    c.framesQueued = framesQueued_;
    c.framesDroppedAtQueue = framesDroppedAtQueue_;
    c.framesDisplayed = framesDisplayed_;
    c.handOffCpuNs = handOffCpuNs_;
    c.displayPasses = displayPasses_;
    return c;
}

bool CameraStream::ConnectCamera() {
    if (events_.waitCursor) events_.waitCursor(true);
    auto fail = [this] {
        if (events_.waitCursor) events_.waitCursor(false);
        return false;
    };

    if (device_->loginHandle <= 0) {
        sdk_.SetConnectTimeout(3000, 1);
        loginCopy_ = 0;
        sdk::DeviceInfo info;
        int32_t error = 0;
        const auto port = static_cast<uint16_t>(device_->port);
        int32_t handle =
            sdk_.Login(device_->ip, port, device_->user, device_->password, &info, &error, 0);
        if (handle <= 0) {
            // The camera may have been set up without a password: from now on use none.
            device_->password[0] = '\0';
            handle =
                sdk_.Login(device_->ip, port, device_->user, device_->password, &info, &error, 0);
        }
        if (handle <= 0) {
            TraceF(TraceCategory::Camera, "Login err:%d", sdk_.LastError());
            TraceF(TraceCategory::Camera, "login:%d", 0);
            return fail();
        }
        device_->loginHandle = handle;
        loginCopy_ = handle;
        sdk_.SubscribeAlarms(handle);
    }
    TraceF(TraceCategory::Camera, "login:%d", 1);
    DisplayWindow = bottomWindow_;

    if (!StartLiveStream()) return fail();

    // The camera's clock follows the computer's at every connection; results are ignored.
    if (loginCopy_ > 0) {
        uint8_t record[sdk::devcfg::kClockSize] = {};
        uint32_t returned = 0;
        if (sdk_.GetConfig(device_->loginHandle, sdk::devcfg::kCmdClock, -1, record, sizeof record,
                           &returned, 1000) > 0) {
            const LocalTime now = clock_.Now();
            using namespace sdk::devcfg;
            sdk::WriteField(record, kClockYear, now.year);
            sdk::WriteField(record, kClockMonth, now.month);
            sdk::WriteField(record, kClockDay, now.day);
            sdk::WriteField(record, kClockHour, now.hour);
            sdk::WriteField(record, kClockMinute, now.minute);
            sdk::WriteField(record, kClockSecond, now.second);
            sdk_.SetConfig(device_->loginHandle, kCmdClock, channel_, record, sizeof record, 1000);
            sdk_.SetCameraClock(device_->loginHandle, record, 0);
        }
    }

    const int32_t fps = GetFrameRate();
    TraceF(TraceCategory::Camera, "nFPS:%d", fps);
    if (fps > 0 && events_.showFrameRate) events_.showFrameRate(fps);

    SetImageColor(50, 50, 50);

    if (loginCopy_ > 0) {
        uint8_t record[sdk::devcfg::kColorSize] = {};
        uint32_t returned = 0;
        const int32_t r = sdk_.GetConfig(device_->loginHandle, sdk::devcfg::kCmdColor, channel_,
                                         record, sizeof record, &returned, 1000);
        TraceF(TraceCategory::Camera, "H264_DVR_GetDevConfig ret:%d", r);
        if (r > 0) {
            using namespace sdk::devcfg;
            imageColor_.brightness = sdk::ReadField(record, kColorBrightness);
            imageColor_.contrast = sdk::ReadField(record, kColorContrast);
            imageColor_.saturation = sdk::ReadField(record, kColorSaturation);
            TraceF(TraceCategory::Camera, "nBrightness:%d nContrast:%d nSaturation:%d",
                   imageColor_.brightness, imageColor_.contrast, imageColor_.saturation);
            if (events_.showImageColor) events_.showImageColor(imageColor_);
        }
    }

    if (events_.waitCursor) events_.waitCursor(false);
    return true;
}

void CameraStream::StopPlay() {
    if (playHandle_ == -1) return;
    sdk_.RemoveStreamCallback(playHandle_, &CameraStream::OnStreamData, this);
    if (!sdk_.StopStream(playHandle_, nullptr))
        TraceF(TraceCategory::Camera, "H264_DVR_StopRealPlay fail m_iPlayhandle = %d", playHandle_);
    playHandle_ = -1;
}

bool CameraStream::StartLiveStream() {
    StopPlay();

    if (PlayerPort == -1) {
        const uint8_t header = 0;
        if (!player_.OpenPort(playerPortNumber_, &header, 1, kPlayerPool)) return false;
        player_.SetStreamMode(playerPortNumber_, 0);
        player_.SetDecodeCallback(playerPortNumber_, &CameraStream::OnDecodedFrame, this);
        if (!player_.StartPlayer(playerPortNumber_, nullptr)) return false;
        PlayerPort = playerPortNumber_;
    }

    sdk::StreamRequest client;
    client.channel = channel_;
    client.stream = 0;
    client.mode = 1;
    client.window = nullptr;
    playHandle_ = sdk_.StartStream(device_->loginHandle, &client);
    if (playHandle_ > 0) {
        sdk_.RequestKeyFrame(device_->loginHandle, channel_, 0);
        sdk_.SetStreamCallback(playHandle_, &CameraStream::OnStreamData, this);
        DisplayFrozen = 0;
        channelCopy_ = channel_;
        loginCopy_ = device_->loginHandle;
        return true;
    }
    TraceF(TraceCategory::Camera, "RealPlay err:%d", sdk_.LastError());
    playHandle_ = -1;
    return false;
}

void CameraStream::Freeze() {
    StopPlay();
    StopDisplay();
}

bool CameraStream::Play() {
    return StartLiveStream();
}

void CameraStream::StopDisplay() {
    // Under the paint lock: a picture converted before this point is not painted after it, so
    // a window cleared or frozen right afterwards keeps what it shows.
    std::lock_guard lock(paintMutex_);
    DisplayFrozen = 1;
}

void CameraStream::Disconnect() {
    StopDisplay();
    StopPlay();
    if (device_->loginHandle > 0) {
        sdk_.Logout(device_->loginHandle);
        device_->loginHandle = 0;
        loginCopy_ = 0;
    }
}

int32_t CameraStream::GetFrameRate() {
    if (loginCopy_ < 1) return -1;
    uint8_t record[sdk::devcfg::kEncodeSize] = {};
    uint32_t returned = 0;
    const int32_t r = sdk_.GetConfig(device_->loginHandle, sdk::devcfg::kCmdEncode, -1, record,
                                     sizeof record, &returned, 1000);
    TraceF(TraceCategory::Camera, "H264_DVR_GetDevConfig ret:%d", r);
    return r == 1 ? sdk::ReadField(record, sdk::devcfg::kEncodeFrameRate) : -1;
}

bool CameraStream::SetFrameRate(int32_t fps) {
    if (loginCopy_ < 1) return false;
    uint8_t record[sdk::devcfg::kEncodeSize] = {};
    uint32_t returned = 0;
    if (sdk_.GetConfig(device_->loginHandle, sdk::devcfg::kCmdEncode, -1, record, sizeof record,
                       &returned, 1000) <= 0)
        return false;
    sdk::WriteField(record, sdk::devcfg::kEncodeFrameRate, fps);
    sdk_.SetConfig(device_->loginHandle, sdk::devcfg::kCmdEncode, -1, record, sizeof record, 1000);
    return GetFrameRate() == fps;
}

bool CameraStream::SetImageColor(int32_t brightness, int32_t contrast, int32_t saturation) {
    if (loginCopy_ < 1) return false;
    using namespace sdk::devcfg;
    uint8_t record[kColorSize] = {};
    uint32_t returned = 0;
    if (sdk_.GetConfig(device_->loginHandle, kCmdColor, channel_, record, sizeof record, &returned,
                       1000) <= 0)
        return false;
    // A value above 100 (or a negative one, compared as unsigned) keeps the camera's value.
    if (static_cast<uint32_t>(brightness) <= 100)
        sdk::WriteField(record, kColorBrightness, brightness);
    if (static_cast<uint32_t>(contrast) <= 100) sdk::WriteField(record, kColorContrast, contrast);
    if (static_cast<uint32_t>(saturation) <= 100)
        sdk::WriteField(record, kColorSaturation, saturation);
    if (sdk_.SetConfig(device_->loginHandle, kCmdColor, channel_, record, sizeof record, 5000) != 0)
        return false;
    imageColor_ = {sdk::ReadField(record, kColorBrightness), sdk::ReadField(record, kColorContrast),
                   sdk::ReadField(record, kColorSaturation)};
    return true;
}

int32_t CameraStream::OnStreamData(int32_t, const sdk::StreamPacket* packet, void* user) {
    auto* self = static_cast<CameraStream*>(user);
    const int32_t port = self->PlayerPort;
    if (packet && packet->data && port != -1)
        self->player_.InputData(port, packet->data, packet->size);
    return 1;
}

void CameraStream::OnDecodedFrame(int32_t, const uint8_t* pixels, int32_t size, int32_t width,
                                  int32_t height, int32_t stamp, int32_t type, void* user) {
    auto* self = static_cast<CameraStream*>(user);
    const bool damaged = type == sdk::kFrameTypeYuv420Damaged;
    if ((type != sdk::kFrameTypeYuv420 && !damaged) || width != kFrameWidth ||
        height != kFrameHeight || size != kFrameBytes || !pixels) {
        const auto field = [](int32_t v, int bits) {
            return static_cast<uint64_t>(std::clamp<int64_t>(v, 0, (int64_t{1} << bits) - 1));
        };
        self->rejectedShape_ = field(width, 24) << 40 | field(height, 24) << 16 | field(type, 16);
        ++self->framesRejected_;
        return;
    }
    if (damaged) {
        ++self->framesDamaged_;
        return;
    }
    ++self->framesTaken_;
    const int64_t cpuStart = ThreadCpuNs();
    // The frame's moment, taken as it leaves the decoder: the depth and heading of the frame are
    // those of this moment, however long it then waits in the queues.
    const int64_t arrivedNs = SteadyNanoseconds();

    // The display takes the frame when it is done with the last one and a window shows it; the
    // stitching takes it while a run's queue is open and has room (a full queue would refuse
    // it anyway). Both share one copy of the pixels.
    DisplayFrameBuffer& display = self->DisplayFrame;
    const bool forDisplay = display.pending.load(std::memory_order_acquire) == 0 &&
                            self->DisplayWindow.load() && self->DisplayFrozen.load() == 0;
    FrameQueue* frames = self->frames_.load();
    const bool running = frames && !frames->Closed();
    size_t count = running ? frames->Size() : 0;
    const bool forQueue = running && count < FrameQueue::kCapacity;
    FramePtr frame;
    if (forDisplay || forQueue) {
        // A buffer let go by the stitching and the display, when there is one: no new memory.
        frame = frames ? frames->TakeSpare() : std::make_shared<RawFrame>();
        frame->data.assign(pixels, pixels + kFrameBytes);
        frame->size = kFrameBytes;
        frame->width = kFrameWidth;
        frame->height = kFrameHeight;
        frame->stamp = stamp;
        frame->flag = 0;
        frame->arrivedNs = arrivedNs;
    }
    if (forDisplay) {
        display.frame = frame;
        display.pending.store(1, std::memory_order_release);
        // Wakes the display thread (changed after pending is set: a thread that read the old
        // count and then found no frame is woken by this change).
        self->displayWake_.fetch_add(1, std::memory_order_release);
        self->displayWake_.notify_one();
    }

    if (running) {
        FrameQueue& queue = *frames;
        const bool queued = forQueue && queue.Push(std::move(frame), &count);
        if (queued) {
            ++self->framesQueued_;
        } else if (!queue.Closed()) {
            // The queue was full. (One closed since the check above refused a frame of no run.)
            ++self->framesDroppedAtQueue_;
            TraceF(TraceCategory::Camera, "frame queue full at %zu frames", count);
        }
    }
    self->handOffCpuNs_ += static_cast<uint64_t>(std::max<int64_t>(0, ThreadCpuNs() - cpuStart));
}

void CameraStream::DisplayLoop() {
    NameThisThread("bhv-display");
    DisplayScaler scaler;
    cv::Mat picture;
    while (!quit_) {
        ++displayPasses_;
        // Read before looking for a frame: a frame handed over after this read changes it, so
        // the wait below returns at once.
        const uint32_t wake = displayWake_.load(std::memory_order_acquire);
        DisplayFrameBuffer& display = DisplayFrame;
        if (display.pending.load(std::memory_order_acquire) == 0) {
            displayWake_.wait(wake, std::memory_order_acquire);
            continue;
        }
        // Let go when this pass ends: the frame goes back for a later one once the stitching
        // is done with it too.
        const FramePtr frame = std::move(display.frame);
        if (VideoSink* window = DisplayWindow.load()) {
            const cv::Size client = window->ClientSize();
            const cv::Size target(client.width / 4 * 4, client.height / 4 * 4);
            // A window with no area (hidden or laid out at zero size) gets nothing.
            if (target.width > 0 && target.height > 0) {
                // The window may still hold the last picture (it keeps a reference, no copy):
                // then this frame gets a new one, and the old one is freed when the window lets
                // it go.
                if (picture.size() != target || !picture.u ||
                    __atomic_load_n(&picture.u->refcount, __ATOMIC_ACQUIRE) != 1)
                    picture = cv::Mat(target, CV_8UC4);
                if (frame && scaler.Scale(frame->data.data(), static_cast<int>(frame->width),
                                          static_cast<int>(frame->height), picture)) {
                    std::lock_guard lock(paintMutex_);
                    if (DisplayFrozen.load() == 0 && window->Paint(picture)) ++framesDisplayed_;
                }
            }
        }
        display.pending.store(0, std::memory_order_release);
    }
}

}  // namespace bhv
