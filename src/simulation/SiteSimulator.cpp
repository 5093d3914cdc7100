#include "simulation/SiteSimulator.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <ostream>
#include <sstream>
#include <utility>
#include <vector>

#include "link/Messages.h"
#include "simulation/CameraServer.h"

namespace bhv::sim {
namespace {

constexpr FirmwareVersion kHostFirmware{1, 2023, 9, 7};
constexpr FirmwareVersion kProbeFirmware{2, 2023, 6, 30};
constexpr double kLongitude = 116.39120;
constexpr double kLatitude = 39.90750;
constexpr double kPi = 3.141592653589793;
// How fast a "depth-back" distance is run back: 20 mm per 100 ms report, faster than any
// logging speed, so the reported depth really goes back while the winch pays out.
constexpr double kBackMetresPerReport = 0.02;

// A signed number of metres, finite and not 0.
bool ParseMetres(const std::string& word, double& out) {
    char* end = nullptr;
    out = std::strtod(word.c_str(), &end);
    return !word.empty() && *end == '\0' && std::isfinite(out) && out != 0.0;
}

bool ParseSwitch(const std::string& word, bool current, bool& out) {
    if (word.empty()) {
        out = !current;
        return true;
    }
    if (word == "on") {
        out = true;
        return true;
    }
    if (word == "off") {
        out = false;
        return true;
    }
    return false;
}

}  // namespace

SiteSimulator::SiteSimulator(SiteModel& model)
    : model_(model),
      host_("host", [this](SimPeer& p, const Message& m) { OnHostMessage(p, m); }),
      probe_("probe", [this](SimPeer& p, const Message& m) { OnProbeMessage(p, m); }) {}

bool SiteSimulator::Listen(uint16_t hostPort, uint16_t probePort) {
    return host_.Listen(hostPort) && probe_.Listen(probePort);
}

void SiteSimulator::OnHostMessage(SimPeer& peer, const Message& m) {
    const int value = m.Length() >= 1 ? m.Payload()[0] : 0;
    switch (m.AsCommand()) {
        case Command::WinchAction:
            model_.SetWinchAction(value);
            peer.Send(EncodeHostStatus(model_.BrakeHeld()));
            break;
        case Command::WinchSpeed:
            model_.SetWinchSpeed(value);
            break;
        case Command::ZeroDepth:
            if (ignoreZeroDepth_) break;
            model_.ZeroEncoder();
            depthOffsetCounts_ = 0;  // the zeroed counter starts clean
            depthBackMetres_ = 0.0;
            depthGlitchCounts_.reset();
            lastDepthSent_ = model_.EncoderCount();
            peer.Send(EncodeDepth(*lastDepthSent_));
            break;
        case Command::HostVersion:
            peer.Send(EncodeFirmware(MessageCode::HostVersion, kHostFirmware));
            break;
        default:
            break;  // tick, run begin and end: nothing to answer
    }
}

AttitudeRaw RawAttitude(const SiteModel::Attitude& a) {
    AttitudeRaw raw;
    raw.auxiliary = 12345.0f;
    raw.acceleration = {AccelerationToRaw(a.accX), AccelerationToRaw(a.accY),
                        AccelerationToRaw(a.accZ)};
    raw.angularRate = {RateToRaw(a.rateX), RateToRaw(a.rateY), RateToRaw(a.rateZ)};
    raw.angle = {AngleToRaw(a.angleX), AngleToRaw(a.angleY), AngleToRaw(a.angleZ)};
    raw.magnetic = {static_cast<int16_t>(a.magX), static_cast<int16_t>(a.magY),
                    static_cast<int16_t>(a.magZ)};
    raw.temperature = PercentToRaw(a.temperature);
    raw.humidity = PercentToRaw(a.humidity);
    return raw;
}

void SiteSimulator::OnProbeMessage(SimPeer& peer, const Message& m) {
    switch (m.AsCommand()) {
        case Command::AttitudeQuery: {
            AttitudeRaw raw = RawAttitude(model_.CurrentAttitude());
            if (attitudeBad_) {
                // A sensor gone wrong: the temperature word at its top (near 100 degrees) and
                // the auxiliary value not a number.
                raw.temperature = 0xFFFF;
                raw.auxiliary = std::numeric_limits<float>::quiet_NaN();
            }
            peer.Send(EncodeAttitude(raw));
            break;
        }
        case Command::ProbeVersion:
            peer.Send(EncodeFirmware(MessageCode::ProbeVersion, kProbeFirmware));
            break;
        case Command::CalibrationBegin:
            peer.Send(Message::Make(MessageCode::CalibrationStarted, {}));
            break;
        case Command::CalibrationEnd:
            peer.Send(Message::Make(MessageCode::CalibrationEnded, {}));
            break;
        case Command::Probe3:
            peer.Send(Message::Make(MessageCode::Ack3, {}));
            break;
        case Command::Probe15:
            peer.Send(Message::Make(MessageCode::Ack15, {}));
            break;
        case Command::HeadingZero:
            model_.ZeroHeading();
            break;
        default:
            break;  // light steps and the rest: nothing to answer
    }
}

void SiteSimulator::SendProbeHousekeeping() {
    probe_.Send(EncodeBattery(model_.Battery()));
    probe_.Send(EncodeGps(kLongitude, kLatitude));
}

SimPeer* SiteSimulator::PeerByName(const std::string& name) {
    if (name == "host") return &host_;
    if (name == "probe") return &probe_;
    return nullptr;
}

void SiteSimulator::SetTrace(std::ostream* out) {
    std::lock_guard lock(mutex_);
    host_.trace = probe_.trace = out;
}

bool SiteSimulator::Command(const std::string& line, std::ostream& out) {
    std::lock_guard lock(mutex_);
    return CommandLocked(line, out);
}

bool SiteSimulator::CommandLocked(const std::string& line, std::ostream& out) {
    std::istringstream in(line);
    std::string verb, arg1, arg2;
    in >> verb >> arg1 >> arg2;
    if (verb.empty()) return true;
    if (verb == "quit" || verb == "exit") {
        quitRequested = true;
        return true;
    }
    if (verb == "status") {
        out << "depth=" << model_.ProbeDepthTenthsMm() / 10 << "mm count=" << model_.EncoderCount()
            << " winch=" << model_.WinchAction() << " speed=" << model_.WinchSpeed()
            << " brake=" << (model_.BrakeHeld() ? "held" : "free")
            << " heading=" << model_.HeadingDegrees() << " tilt=" << model_.CurrentAttitude().tilt
            << " host=" << (host_.Connected() ? "connected" : "-")
            << (host_.silent ? ",silent" : "") << (host_.corruptCrc ? ",corrupt" : "")
            << " probe=" << (probe_.Connected() ? "connected" : "-")
            << (probe_.silent ? ",silent" : "") << (probe_.corruptCrc ? ",corrupt" : "")
            << (ignoreZeroDepth_ ? " ignore-zero" : "")
            << (depthOffsetCounts_ != 0 ? " depth-offset=" + std::to_string(depthOffsetCounts_)
                                        : std::string())
            << (attitudeBad_ ? " attitude-bad" : "");
        if (camera_)
            out << " camera-sent=" << camera_->UnitsSent()
                << " camera-late=" << camera_->FramesLate();
        out << std::endl;
        return true;
    }
    bool flag = false;
    if (verb == "drop" && arg1 == "camera") {
        // Breaks the live-stream connections once; the camera keeps listening, so the client
        // logs in and starts its stream again.
        if (!camera_) {
            out << "error: drop camera: no camera" << std::endl;
            return false;
        }
        camera_->DropStreams();
    } else if (verb == "corrupt" && arg1 == "camera") {
        // Damages the next N access units of the live stream (default 8): half of them cut
        // short, the others overwritten in the middle.
        long units = 8;
        if (!arg2.empty()) {
            char* end = nullptr;
            units = std::strtol(arg2.c_str(), &end, 10);
            if (*end != '\0' || units < 1 || units > 100000) units = -1;
        }
        if (!camera_ || units < 0) {
            out << "error: corrupt camera [UNITS]" << (camera_ ? "" : ": no camera") << std::endl;
            return false;
        }
        camera_->CorruptNextUnits(static_cast<int>(units));
    } else if (verb == "camera-size") {
        // The camera switches to another resolution (WIDTHxHEIGHT), or back ("off").
        int width = 0, height = 0;
        char x = 0, rest = 0;
        const bool parsed =
            arg1 == "off" || std::sscanf(arg1.c_str(), "%d%c%d%c", &width, &x, &height, &rest) == 3;
        if (!camera_ || !parsed || (arg1 != "off" && x != 'x') ||
            !camera_->SetStreamSize(width, height)) {
            out << "error: camera-size WIDTHxHEIGHT|off (even, 16 to 8192)"
                << (camera_ ? "" : ": no camera") << std::endl;
            return false;
        }
    } else if (verb == "silence" || verb == "corrupt" || verb == "drop") {
        SimPeer* peer = PeerByName(arg1);
        if (!peer) {
            out << "error: " << verb
                << (verb == "drop" ? " needs host, probe or camera" : " needs host or probe")
                << std::endl;
            return false;
        }
        if (verb == "drop") {
            peer->Drop();
        } else {
            bool& field = verb == "silence" ? peer->silent : peer->corruptCrc;
            if (!ParseSwitch(arg2, field, flag)) {
                out << "error: " << verb << " " << arg1 << " on|off" << std::endl;
                return false;
            }
            field = flag;
        }
    } else if (verb == "brake") {
        if (!ParseSwitch(arg1, model_.BrakeHeld(), flag)) {
            out << "error: brake on|off" << std::endl;
            return false;
        }
        model_.SetBrake(flag);
    } else if (verb == "ignore-zero") {
        if (!ParseSwitch(arg1, ignoreZeroDepth_, flag)) {
            out << "error: ignore-zero on|off" << std::endl;
            return false;
        }
        ignoreZeroDepth_ = flag;
    } else if (verb == "depth-jump") {
        // The encoder's report steps by M metres (deeper when positive): from now on, or with
        // "once" for the next report only.
        double metres = 0.0;
        if (!ParseMetres(arg1, metres) || (!arg2.empty() && arg2 != "once")) {
            out << "error: depth-jump <metres> [once]" << std::endl;
            return false;
        }
        // Paying out counts down: a deeper report is a lower count.
        const double counts = std::round(-metres * CountsPerMetre());
        if (!(std::abs(counts) < 4e9)) {
            out << "error: depth-jump: too far for the encoder's count" << std::endl;
            return false;
        }
        if (arg2 == "once")
            depthGlitchCounts_ = static_cast<int64_t>(counts);
        else
            depthOffsetCounts_ += static_cast<int64_t>(counts);
        lastDepthSent_.reset();  // reported at the next tick, even with the winch still
    } else if (verb == "depth-back") {
        // The reports run back M metres (shallower), 20 mm a report, whatever the winch does.
        double metres = 0.0;
        if (!ParseMetres(arg1, metres) || metres < 0) {
            out << "error: depth-back <metres>" << std::endl;
            return false;
        }
        depthBackMetres_ += metres;
    } else if (verb == "attitude-bad") {
        if (!ParseSwitch(arg1, attitudeBad_, flag)) {
            out << "error: attitude-bad on|off" << std::endl;
            return false;
        }
        attitudeBad_ = flag;
    } else if (verb == "bottom") {
        if (arg1 == "off") {
            model_.SetBottom(std::nullopt);
        } else {
            char* end = nullptr;
            const double metres = std::strtod(arg1.c_str(), &end);
            if (arg1.empty() || *end != '\0' || !(metres > 0)) {
                out << "error: bottom <metres>|off" << std::endl;
                return false;
            }
            model_.SetBottom(metres);
        }
    } else if (verb == "winch" || verb == "speed") {
        // Drive the model directly, as a technician at the winch would.
        char* end = nullptr;
        const long v = std::strtol(arg1.c_str(), &end, 10);
        if (arg1.empty() || *end != '\0' || v < 0 || v > 2) {
            out << "error: " << verb << " 0|1|2" << std::endl;
            return false;
        }
        verb == "winch" ? model_.SetWinchAction(static_cast<int>(v))
                        : model_.SetWinchSpeed(static_cast<int>(v));
    } else if (verb == "garbage") {
        SimPeer* peer = PeerByName(arg1);
        if (!peer) {
            out << "error: garbage needs host or probe" << std::endl;
            return false;
        }
        // Noise, an oversized length, and a frame cut off after its code.
        peer->SendRaw({0x00, 0x55, 0x7E, 0x80, 0x13, 0x7E, 0x05, ToByte(MessageCode::Battery)});
    } else {
        out << "error: unknown command '" << verb << "'" << std::endl;
        return false;
    }
    out << "ok " << line << std::endl;
    return true;
}

double SiteSimulator::CountsPerMetre() const {
    const double pulley = model_.PulleyDiameterMm();
    return pulley > 0 ? 1000.0 / (kPi * pulley) * 1024.0 : 0.0;
}

int32_t SiteSimulator::ReportedCount() {
    if (depthBackMetres_ > 0) {
        const double step = std::min(depthBackMetres_, kBackMetresPerReport);
        depthBackMetres_ -= step;
        if (depthBackMetres_ < 1e-9) depthBackMetres_ = 0.0;
        depthOffsetCounts_ += static_cast<int64_t>(std::llround(step * CountsPerMetre()));
    }
    int64_t count = static_cast<int64_t>(model_.EncoderCount()) + depthOffsetCounts_;
    if (depthGlitchCounts_) count += *std::exchange(depthGlitchCounts_, std::nullopt);
    return static_cast<int32_t>(std::clamp<int64_t>(count, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

void SiteSimulator::Periodic(std::chrono::steady_clock::time_point now) {
    model_.Advance(std::chrono::duration<double>(now - lastAdvance_).count());
    lastAdvance_ = now;
    if (now >= nextDepth_) {
        const int32_t count = host_.Connected() ? ReportedCount() : model_.EncoderCount();
        if (host_.Connected() && lastDepthSent_ != count) {
            host_.Send(EncodeDepth(count));
            lastDepthSent_ = count;
        }
        nextDepth_ = now + std::chrono::milliseconds(100);
    }
    if (now >= nextHousekeeping_) {
        SendProbeHousekeeping();
        nextHousekeeping_ = now + std::chrono::seconds(5);
    }
}

void SiteSimulator::Run(const std::atomic<bool>& stop, std::ostream* console) {
    {
        std::lock_guard lock(mutex_);
        lastAdvance_ = nextDepth_ = nextHousekeeping_ = std::chrono::steady_clock::now();
    }
    bool stdinOpen = console != nullptr;
    std::vector<pollfd> fds;
    while (!stop && !quitRequested) {
        fds.clear();
        {
            std::lock_guard lock(mutex_);
            if (stdinOpen) fds.push_back({STDIN_FILENO, POLLIN, 0});
            for (SimPeer* p : {&host_, &probe_}) {
                fds.push_back({p->ListenFd(), POLLIN, 0});
                fds.push_back({p->ClientFd(), POLLIN, 0});  // -1 is ignored by poll
            }
        }
        ::poll(fds.data(), fds.size(), 10);

        std::lock_guard lock(mutex_);
        std::size_t i = 0;
        if (stdinOpen) {
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                char buf[4096];
                const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
                if (n <= 0) {
                    stdinOpen = false;
                    break;  // end of standard input ends the simulator
                }
                stdin_.Feed(
                    std::string_view(buf, static_cast<std::size_t>(n)),
                    [this, console](std::string_view line) {
                        CommandLocked(std::string(line), *console);
                    },
                    [console](std::size_t bytes) {
                        *console << "error: a line of " << bytes << " bytes is longer than "
                                 << kMaxCommandLine << ": ignored" << std::endl;
                    });
            }
            ++i;
        }
        for (SimPeer* p : {&host_, &probe_}) {
            const bool accept = fds[i].revents & POLLIN;
            // A command may have dropped the connection while the loop waited: only the
            // connection that was watched is read.
            const bool readable = fds[i + 1].fd >= 0 && fds[i + 1].fd == p->ClientFd() &&
                                  (fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR));
            i += 2;
            if (readable) p->ReadPending();
            if (accept && p->AcceptPending()) {
                if (p == &probe_) SendProbeHousekeeping();
                if (p == &host_) lastDepthSent_.reset();  // the new connection gets the depth
            }
        }
        Periodic(std::chrono::steady_clock::now());
    }
}

}  // namespace bhv::sim
