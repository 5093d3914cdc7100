#include "camera/sdk/NetworkCameraClient.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/ThreadName.h"

namespace bhv::sdk {

NetworkCameraClient::~NetworkCameraClient() {
    Cleanup();
}

int32_t NetworkCameraClient::Fail(int32_t error) {
    lastError_ = error;
    return error;
}

bool NetworkCameraClient::Init(DisconnectCallback, void*) {
    // The program's disconnect callback does nothing, so a lost connection is only seen as
    // failing calls and an ending stream.
    lastError_ = kSdkNoError;
    return true;
}

bool NetworkCameraClient::SetDeviceMessageCallback(DeviceMessageCallback, void*) {
    return true;
}

bool NetworkCameraClient::SetConnectTimeout(int32_t waitMs, int32_t tries) {
    connectWaitMs_ = std::max(waitMs, 1);
    connectTries_ = std::max(tries, 1);
    return true;
}

bool NetworkCameraClient::Connect(TcpSocket& socket, const std::string& ip, uint16_t port) {
    const int32_t waitMs = connectWaitMs_;
    const int32_t tries = connectTries_;
    for (int32_t i = 0; i < tries; ++i) {
        socket = TcpSocket::ConnectTo(Endpoint{ip, port}, waitMs);
        if (socket.IsOpen()) return true;
    }
    return false;
}

std::shared_ptr<NetworkCameraClient::LoginSession> NetworkCameraClient::FindLogin(int32_t handle) {
    std::lock_guard lock(mutex_);
    auto it = logins_.find(handle);
    return it == logins_.end() ? nullptr : it->second;
}

std::shared_ptr<NetworkCameraClient::Play> NetworkCameraClient::FindPlay(int32_t handle) {
    std::lock_guard lock(mutex_);
    auto it = plays_.find(handle);
    return it == plays_.end() ? nullptr : it->second;
}

int32_t NetworkCameraClient::Login(const char* ip, uint16_t port, const char* user,
                                   const char* password, DeviceInfo* info, int32_t* error,
                                   int32_t) {
    auto setError = [&](int32_t e) {
        if (error) *error = e;
        Fail(e);
        return 0;
    };
    if (!ip || !user || !password) return setError(kSdkBadArgument);
    auto login = std::make_shared<LoginSession>();
    login->ip = ip;
    login->port = port;
    if (!Connect(login->socket, login->ip, port)) return setError(kSdkConnectFailed);

    CameraMessage request{CameraMsg::Login, 0, 0, {}};
    request.payload.insert(request.payload.end(), user, user + std::strlen(user) + 1);
    request.payload.insert(request.payload.end(), password, password + std::strlen(password) + 1);
    if (!SendMessage(login->socket, request)) return setError(kSdkConnectFailed);
    const auto reply = ReceiveMessage(login->socket, connectWaitMs_);
    if (!reply || reply->type != CameraMsg::Login) return setError(kSdkTimeout);
    if (reply->status != 0) return setError(reply->status);
    login->session = reply->session;
    if (info) {
        *info = DeviceInfo{};
        const size_t n = std::min(reply->payload.size(), sizeof info->serialNumber - 1);
        std::memcpy(info->serialNumber, reply->payload.data(), n);
        info->channelCount = 1;
    }
    if (error) *error = kSdkNoError;
    lastError_ = kSdkNoError;
    std::lock_guard lock(mutex_);
    const int32_t handle = nextHandle_++;
    logins_[handle] = std::move(login);
    return handle;
}

std::optional<CameraMessage> NetworkCameraClient::Request(int32_t loginHandle, CameraMsg type,
                                                          std::vector<uint8_t> payload,
                                                          int32_t waitMs) {
    const auto login = FindLogin(loginHandle);
    if (!login) {
        Fail(kSdkNotLoggedIn);
        return std::nullopt;
    }
    std::lock_guard lock(login->mutex);
    if (!login->socket.IsOpen()) {
        Fail(kSdkConnectFailed);
        return std::nullopt;
    }
    const CameraMessage request{type, 0, login->session, std::move(payload)};
    auto reply = SendMessage(login->socket, request)
                     ? ReceiveMessage(login->socket, std::max(waitMs, 1))
                     : std::nullopt;
    if (!reply || reply->type != type) {
        // A late or missing reply would be taken for the next request's: drop the connection.
        login->socket.Close();
        Fail(kSdkTimeout);
        return std::nullopt;
    }
    if (reply->status != 0) {
        Fail(reply->status);
        return std::nullopt;
    }
    lastError_ = kSdkNoError;
    return reply;
}

bool NetworkCameraClient::SubscribeAlarms(int32_t loginHandle) {
    return Request(loginHandle, CameraMsg::AlarmSubscribe, {}, connectWaitMs_).has_value();
}

int32_t NetworkCameraClient::StartStream(int32_t loginHandle, const StreamRequest* request) {
    const auto login = FindLogin(loginHandle);
    if (!login) return Fail(kSdkNotLoggedIn), 0;
    auto play = std::make_shared<Play>();
    play->loginHandle = loginHandle;
    play->ip = login->ip;
    play->port = login->port;
    play->session = login->session;
    play->channel = request ? request->channel : 0;
    play->stream = request ? request->stream : 0;
    if (const int32_t error = ConnectStream(*play, play->socket); error != kSdkNoError)
        return Fail(error), 0;

    int32_t handle;
    {
        std::lock_guard lock(mutex_);
        handle = nextHandle_++;
        plays_[handle] = play;
    }
    play->thread = std::thread([this, p = play.get(), handle] {
        NameThisThread("bhv-camera-net");
        ReceiveStream(p, handle);
    });
    lastError_ = kSdkNoError;
    return handle;
}

int32_t NetworkCameraClient::ConnectStream(Play& play, TcpSocket& socket) {
    if (!Connect(socket, play.ip, play.port)) return kSdkConnectFailed;
    CameraMessage request{CameraMsg::StartStream, 0, play.session, {}};
    AppendInt32(request.payload, play.channel);
    AppendInt32(request.payload, play.stream);
    if (!SendMessage(socket, request)) return kSdkConnectFailed;
    const auto reply = ReceiveMessage(socket, connectWaitMs_);
    if (!reply || reply->type != CameraMsg::StartStream) return kSdkTimeout;
    return reply->status;
}

bool NetworkCameraClient::ReconnectStream(Play* play) {
    // The camera broke the stream off (a network break, a camera restart): start it again every
    // half second until it comes back or the play is stopped, so a run does not lose its
    // pictures for the rest of its length.
    while (!play->stopping) {
        for (int waited = 0; waited < 500 && !play->stopping; waited += 50)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        TcpSocket socket;
        if (play->stopping || ConnectStream(*play, socket) != kSdkNoError) continue;
        std::lock_guard lock(play->socketMutex);
        if (play->stopping) return false;
        play->socket = std::move(socket);
        return true;
    }
    return false;
}

void NetworkCameraClient::ReceiveStream(Play* play, int32_t handle) {
    for (;;) {
        auto message = ReceiveMessage(play->socket, -1);
        if (!message) {
            if (ReconnectStream(play)) continue;
            return;  // stopped
        }
        if (message->type != CameraMsg::StreamData || message->payload.empty()) continue;
        std::lock_guard lock(play->callbackMutex);
        if (!play->callback) {
            if (!play->callbackEverSet &&
                play->earlyBytes + message->payload.size() <= kMaxEarlyBytes) {
                play->earlyBytes += message->payload.size();
                play->early.push_back(std::move(message->payload));
            }
            continue;
        }
        StreamPacket packet;
        packet.data = message->payload.data();
        packet.size = static_cast<uint32_t>(message->payload.size());
        play->callback(handle, &packet, play->user);
    }
}

bool NetworkCameraClient::RequestKeyFrame(int32_t loginHandle, int32_t channel, int32_t) {
    std::vector<uint8_t> payload;
    AppendInt32(payload, channel);
    return Request(loginHandle, CameraMsg::KeyFrame, std::move(payload), connectWaitMs_)
        .has_value();
}

bool NetworkCameraClient::SetStreamCallback(int32_t playHandle, StreamDataCallback callback,
                                            void* user) {
    const auto play = FindPlay(playHandle);
    if (!play) return Fail(kSdkBadArgument), false;
    std::lock_guard lock(play->callbackMutex);
    play->callback = callback;
    play->user = user;
    if (!play->callbackEverSet && callback) {
        play->callbackEverSet = true;
        for (const auto& data : play->early) {
            StreamPacket packet;
            packet.data = data.data();
            packet.size = static_cast<uint32_t>(data.size());
            callback(playHandle, &packet, user);
        }
        play->early.clear();
        play->earlyBytes = 0;
    }
    return true;
}

bool NetworkCameraClient::RemoveStreamCallback(int32_t playHandle, StreamDataCallback, void*) {
    const auto play = FindPlay(playHandle);
    if (!play) return Fail(kSdkBadArgument), false;
    std::lock_guard lock(play->callbackMutex);  // waits for a running callback
    play->callback = nullptr;
    play->user = nullptr;
    return true;
}

void NetworkCameraClient::StopPlay(const std::shared_ptr<Play>& play) {
    {
        std::lock_guard lock(play->socketMutex);
        play->stopping = true;
        play->socket.Shutdown();
    }
    if (play->thread.joinable()) play->thread.join();
    play->socket.Close();
}

bool NetworkCameraClient::StopStream(int32_t playHandle, void*) {
    std::shared_ptr<Play> play;
    {
        std::lock_guard lock(mutex_);
        auto it = plays_.find(playHandle);
        if (it == plays_.end()) return Fail(kSdkBadArgument), false;
        play = it->second;
        plays_.erase(it);
    }
    StopPlay(play);
    return true;
}

bool NetworkCameraClient::Logout(int32_t loginHandle) {
    const auto login = FindLogin(loginHandle);
    if (!login) return Fail(kSdkNotLoggedIn), false;
    Request(loginHandle, CameraMsg::Logout, {}, 1000);
    // The streams of the login end with it.
    std::vector<std::shared_ptr<Play>> ended;
    {
        std::lock_guard lock(mutex_);
        logins_.erase(loginHandle);
        for (auto it = plays_.begin(); it != plays_.end();) {
            if (it->second->loginHandle == loginHandle) {
                ended.push_back(it->second);
                it = plays_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& play : ended) StopPlay(play);
    std::lock_guard lock(login->mutex);
    login->socket.Close();
    return true;
}

int32_t NetworkCameraClient::GetConfig(int32_t loginHandle, uint32_t command, int32_t channel,
                                       void* buffer, uint32_t size, uint32_t* bytesReturned,
                                       int32_t waitMs) {
    if (bytesReturned) *bytesReturned = 0;
    if (!buffer) return Fail(kSdkBadArgument);
    std::vector<uint8_t> payload;
    AppendInt32(payload, static_cast<int32_t>(command));
    AppendInt32(payload, channel);
    const auto reply = Request(loginHandle, CameraMsg::GetConfig, std::move(payload), waitMs);
    if (!reply) return lastError_.load();
    // A record larger than the caller's buffer would overrun it: refuse it whole.
    if (reply->payload.size() > size) return Fail(kSdkProtocol);
    std::memset(buffer, 0, size);
    std::memcpy(buffer, reply->payload.data(), reply->payload.size());
    if (bytesReturned) *bytesReturned = static_cast<uint32_t>(reply->payload.size());
    return 1;
}

int32_t NetworkCameraClient::SetConfig(int32_t loginHandle, uint32_t command, int32_t channel,
                                       const void* buffer, uint32_t size, int32_t waitMs) {
    if (!buffer) return Fail(kSdkBadArgument);
    std::vector<uint8_t> payload;
    AppendInt32(payload, static_cast<int32_t>(command));
    AppendInt32(payload, channel);
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    payload.insert(payload.end(), bytes, bytes + size);
    const auto reply = Request(loginHandle, CameraMsg::SetConfig, std::move(payload), waitMs);
    return reply ? 0 : lastError_.load();
}

bool NetworkCameraClient::SetCameraClock(int32_t loginHandle, const void* clockRecord, int32_t) {
    if (!clockRecord) return Fail(kSdkBadArgument), false;
    const auto* bytes = static_cast<const uint8_t*>(clockRecord);
    std::vector<uint8_t> payload(bytes, bytes + devcfg::kClockSize);
    return Request(loginHandle, CameraMsg::SetClock, std::move(payload), 1000).has_value();
}

bool NetworkCameraClient::Cleanup() {
    std::vector<int32_t> handles;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [handle, login] : logins_) handles.push_back(handle);
    }
    for (int32_t handle : handles) Logout(handle);
    std::vector<std::shared_ptr<Play>> rest;
    {
        std::lock_guard lock(mutex_);
        for (auto& [handle, play] : plays_) rest.push_back(play);
        plays_.clear();
    }
    for (auto& play : rest) StopPlay(play);
    return true;
}

}  // namespace bhv::sdk
