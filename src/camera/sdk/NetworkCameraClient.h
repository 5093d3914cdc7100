#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "camera/sdk/CameraProtocol.h"
#include "camera/sdk/NetSdk.h"
#include "platform/Socket.h"

namespace bhv::sdk {

// The camera library for a network camera that speaks our TCP camera protocol
// (docs/camera-protocol.md). Each login keeps one request connection; each live stream opens
// a connection of its own whose receiving thread hands every access unit to the stream-data
// callback (the data received before the first callback is set is handed to it when it is set,
// on the setting thread). Thread-safe; every thread is joined by StopStream, Logout, Cleanup or
// the destructor.
class NetworkCameraClient : public NetSdk {
public:
    NetworkCameraClient() = default;
    ~NetworkCameraClient() override;

    bool Init(DisconnectCallback onDisconnect, void* user) override;
    bool SetDeviceMessageCallback(DeviceMessageCallback callback, void* user) override;
    bool SetConnectTimeout(int32_t waitMs, int32_t tries) override;
    int32_t Login(const char* ip, uint16_t port, const char* user, const char* password,
                  DeviceInfo* info, int32_t* error, int32_t socketType) override;
    int32_t LastError() override { return lastError_.load(); }
    bool SubscribeAlarms(int32_t loginHandle) override;
    int32_t StartStream(int32_t loginHandle, const StreamRequest* request) override;
    bool RequestKeyFrame(int32_t loginHandle, int32_t channel, int32_t stream) override;
    bool SetStreamCallback(int32_t playHandle, StreamDataCallback callback, void* user) override;
    bool RemoveStreamCallback(int32_t playHandle, StreamDataCallback callback, void* user) override;
    bool StopStream(int32_t playHandle, void* window) override;
    bool Logout(int32_t loginHandle) override;
    int32_t GetConfig(int32_t loginHandle, uint32_t command, int32_t channel, void* buffer,
                      uint32_t size, uint32_t* bytesReturned, int32_t waitMs) override;
    int32_t SetConfig(int32_t loginHandle, uint32_t command, int32_t channel, const void* buffer,
                      uint32_t size, int32_t waitMs) override;
    bool SetCameraClock(int32_t loginHandle, const void* clockRecord, int32_t reserved) override;
    bool Cleanup() override;

    // Stream statistics, for tests and measurements.

private:
    struct LoginSession {
        std::string ip;
        uint16_t port = 0;
        int32_t session = 0;
        std::mutex mutex;  // one request at a time on the connection
        TcpSocket socket;
    };
    struct Play {
        int32_t loginHandle = 0;
        // Where the stream comes from, to start it again after the camera broke it off.
        std::string ip;
        uint16_t port = 0;
        int32_t session = 0;
        int32_t channel = 0;
        int32_t stream = 0;
        std::atomic<bool> stopping{false};
        std::mutex socketMutex;  // replacing the socket against shutting it down
        TcpSocket socket;
        std::thread thread;
        std::mutex callbackMutex;  // held while the callback runs
        StreamDataCallback callback = nullptr;
        void* user = nullptr;
        // What arrives before the first callback is set: the stream's opening key frame must not
        // be lost to the moment between the play's start and the caller setting its callback.
        bool callbackEverSet = false;
        std::vector<std::vector<uint8_t>> early;
        size_t earlyBytes = 0;
    };
    static constexpr size_t kMaxEarlyBytes = 16u << 20;

    std::shared_ptr<LoginSession> FindLogin(int32_t handle);
    std::shared_ptr<Play> FindPlay(int32_t handle);
    bool Connect(TcpSocket& socket, const std::string& ip, uint16_t port);
    // One request and its reply on a login's connection; the reply only when its status is 0.
    std::optional<CameraMessage> Request(int32_t loginHandle, CameraMsg type,
                                         std::vector<uint8_t> payload, int32_t waitMs);
    void ReceiveStream(Play* play, int32_t handle);
    // Connects `socket` and asks for the play's stream; kSdkNoError or the failure.
    int32_t ConnectStream(Play& play, TcpSocket& socket);
    // Starts a broken-off stream again; false once the play is stopped.
    bool ReconnectStream(Play* play);
    void StopPlay(const std::shared_ptr<Play>& play);
    int32_t Fail(int32_t error);

    std::mutex mutex_;  // guards the maps and the handle counter
    std::map<int32_t, std::shared_ptr<LoginSession>> logins_;
    std::map<int32_t, std::shared_ptr<Play>> plays_;
    int32_t nextHandle_ = 1;
    std::atomic<int32_t> connectWaitMs_{3000};
    std::atomic<int32_t> connectTries_{1};
    std::atomic<int32_t> lastError_{kSdkNoError};
};

}  // namespace bhv::sdk
