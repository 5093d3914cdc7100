#pragma once

#include <cstddef>
#include <cstdint>

namespace bhv::sdk {

// The camera client as the acquisition program calls it: login, live stream, device
// configuration records and the camera clock. Handles are 32-bit signed integers, > 0 when valid.
// Text arguments are narrow (UTF-8) zero-terminated strings.
//
// Threads: every call is made from the user-interface thread; the stream-data callback runs on
// the client's own receiving thread. Once RemoveStreamCallback or StopStream has returned, the
// callback is not running and will not run again for that play handle.

// Errors reported by LastError (0 when the last call succeeded).
enum SdkError : int32_t {
    kSdkNoError = 0,
    kSdkConnectFailed = -10001,
    kSdkBadPassword = -10002,
    kSdkTimeout = -10003,
    kSdkNotLoggedIn = -10004,
    kSdkProtocol = -10005,
    kSdkBadArgument = -10006,
    kSdkRejected = -10007,
    kSdkNoPlayer = -10008,
};

// Filled by a successful login.
struct DeviceInfo {
    char serialNumber[64] = {};
    int32_t channelCount = 0;
};

// What a live stream is requested with.
struct StreamRequest {
    int32_t channel = 0;
    int32_t stream = 0;      // 0 = main stream
    int32_t mode = 1;        // 1 = TCP
    int32_t comType = 0;     // left unset by the program
    void* window = nullptr;  // never used: decoding is the player's job
};

// One received piece of the live stream. The program relies only on the data pointer at byte 8
// and the 32-bit length at byte 16.
struct StreamPacket {
    int32_t channel = 0;
    int32_t packetType = 0;
    const uint8_t* data = nullptr;
    uint32_t size = 0;
    uint32_t reserved = 0;
};
static_assert(offsetof(StreamPacket, data) == 8);
static_assert(offsetof(StreamPacket, size) == 16);

using DisconnectCallback = void (*)(int32_t loginHandle, const char* ip, int32_t port, void* user);
using DeviceMessageCallback = bool (*)(int32_t loginHandle, const char* message, uint32_t length,
                                       void* user);
using StreamDataCallback = int32_t (*)(int32_t playHandle, const StreamPacket* packet, void* user);

class NetSdk {
public:
    virtual ~NetSdk() = default;

    virtual bool Init(DisconnectCallback onDisconnect, void* user) = 0;
    virtual bool SetDeviceMessageCallback(DeviceMessageCallback callback, void* user) = 0;
    // Time-out of one connection attempt and the number of attempts of the following logins.
    virtual bool SetConnectTimeout(int32_t waitMs, int32_t tries) = 0;
    // > 0: the login handle; otherwise failure, with the reason in *error and the last error.
    virtual int32_t Login(const char* ip, uint16_t port, const char* user, const char* password,
                          DeviceInfo* info, int32_t* error, int32_t socketType) = 0;
    virtual int32_t LastError() = 0;
    // Made right after a successful login (subscribes to the device's alarm messages).
    virtual bool SubscribeAlarms(int32_t loginHandle) = 0;
    // > 0: the play handle of a new live stream.
    virtual int32_t StartStream(int32_t loginHandle, const StreamRequest* request) = 0;
    // Made right after a successful stream start (asks the camera for a key frame).
    virtual bool RequestKeyFrame(int32_t loginHandle, int32_t channel, int32_t stream) = 0;
    virtual bool SetStreamCallback(int32_t playHandle, StreamDataCallback callback, void* user) = 0;
    virtual bool RemoveStreamCallback(int32_t playHandle, StreamDataCallback callback,
                                      void* user) = 0;
    virtual bool StopStream(int32_t playHandle, void* window) = 0;
    virtual bool Logout(int32_t loginHandle) = 0;
    // Reads configuration record `command` into `buffer`; > 0 on success (the number of records).
    virtual int32_t GetConfig(int32_t loginHandle, uint32_t command, int32_t channel, void* buffer,
                              uint32_t size, uint32_t* bytesReturned, int32_t waitMs) = 0;
    // Writes configuration record `command`; 0 on success, a negative error otherwise.
    virtual int32_t SetConfig(int32_t loginHandle, uint32_t command, int32_t channel,
                              const void* buffer, uint32_t size, int32_t waitMs) = 0;
    // Sets the camera's clock from a clock record (command 18 layout).
    virtual bool SetCameraClock(int32_t loginHandle, const void* clockRecord, int32_t reserved) = 0;
    virtual bool Cleanup() = 0;
};

// Device configuration commands and the byte offsets of the fields the program uses.
namespace devcfg {
inline constexpr uint32_t kCmdClock = 18;
inline constexpr uint32_t kClockSize = 192;
inline constexpr size_t kClockYear = 0, kClockMonth = 4, kClockDay = 8, kClockKeep = 12,
                        kClockHour = 16, kClockMinute = 20, kClockSecond = 24;
inline constexpr uint32_t kCmdEncode = 68;
inline constexpr uint32_t kEncodeSize = 5632;
inline constexpr size_t kEncodeFrameRate = 16;
inline constexpr uint32_t kCmdColor = 84;
inline constexpr uint32_t kColorSize = 120;
inline constexpr size_t kColorBrightness = 28, kColorContrast = 32, kColorSaturation = 36;
}  // namespace devcfg

// 32-bit little-endian fields of the configuration records.
int32_t ReadField(const uint8_t* record, size_t offset);
void WriteField(uint8_t* record, size_t offset, int32_t value);

}  // namespace bhv::sdk
