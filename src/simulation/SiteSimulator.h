#pragma once

#include <atomic>
#include <chrono>
#include <iosfwd>
#include <mutex>
#include <optional>
#include <string>

#include "link/Messages.h"
#include "simulation/LineSplitter.h"
#include "simulation/SimPeer.h"
#include "simulation/SiteModel.h"

namespace bhv {
class CameraServer;
}

namespace bhv::sim {

// The host unit and the probe played from one SiteModel, in one loop on one thread.
//
// Host unit: answers Command::WinchAction with its status (246, brake byte), takes
// Command::WinchSpeed, zeroes its encoder on Command::ZeroDepth and answers with a depth message,
// answers Command::HostVersion (245), and sends its encoder count (244) on connection and then
// every 100 ms while the count changes (a still winch sends no depth, so an ignored depth reset
// goes unanswered). Probe: answers Command::AttitudeQuery (132, 41 bytes), Command::ProbeVersion
// (148), Command::CalibrationBegin and Command::CalibrationEnd (136, 137), codes 3 and 15 (131,
// 143), zeroes its heading on Command::HeadingZero, and sends its battery (130) and GPS position
// (145) on connection and every 5 s.
//
// Threads: Run drives both peers on the calling thread; Command may be called from any other
// thread at the same time (a lock orders it with the loop's work, never held while the loop
// waits for input).
// The probe's attitude answer as its sensors give it for the model's attitude `a`.
AttitudeRaw RawAttitude(const SiteModel::Attitude& a);

class SiteSimulator {
public:
    explicit SiteSimulator(SiteModel& model);

    // Listens on 127.0.0.1 (port 0: a free port).
    bool Listen(uint16_t hostPort, uint16_t probePort);
    uint16_t HostPort() const { return host_.Port(); }
    uint16_t ProbePort() const { return probe_.Port(); }

    // The camera that "drop camera" acts on; none by default. Set before Run.
    void SetCamera(CameraServer* camera) { camera_ = camera; }

    // Applies one fault or control command (see docs/tools/bhv-sim.md); false with a message on
    // `out` when the line is not understood. "quit" sets `quitRequested`. Thread-safe.
    bool Command(const std::string& line, std::ostream& out);

    // Runs until `stop` is set, or "quit". With a console it also reads commands from standard
    // input, answering there, and ends when standard input ends.
    void Run(const std::atomic<bool>& stop, std::ostream* console);

    // Where every connection and received message is written (null: the trace's sim category).
    void SetTrace(std::ostream* out);

    std::atomic<bool> quitRequested{false};

private:
    bool CommandLocked(const std::string& line, std::ostream& out);
    void OnHostMessage(SimPeer& peer, const Message& m);
    void OnProbeMessage(SimPeer& peer, const Message& m);
    void SendProbeHousekeeping();
    void Periodic(std::chrono::steady_clock::time_point now);
    SimPeer* PeerByName(const std::string& name);

    SiteModel& model_;
    std::mutex mutex_;  // the peers, the switches and the timers below
    bool ignoreZeroDepth_ = false;
    CameraServer* camera_ = nullptr;
    SimPeer host_;
    SimPeer probe_;
    std::chrono::steady_clock::time_point lastAdvance_;
    std::chrono::steady_clock::time_point nextDepth_;
    std::chrono::steady_clock::time_point nextHousekeeping_;
    // Commands are short: a longer line on standard input is dropped with an error line.
    static constexpr std::size_t kMaxCommandLine = 4096;
    LineSplitter stdin_{kMaxCommandLine};
    std::optional<int32_t> lastDepthSent_;

    // Faults of the host's encoder and the probe's sensors (see docs/tools/bhv-sim.md): a step
    // added to every depth report from now on, or to the next one only; a distance the reports
    // still have to run back; attitude answers with values no sensor gives.
    int32_t ReportedCount();  // the count the next depth report carries
    double CountsPerMetre() const;
    int64_t depthOffsetCounts_ = 0;
    std::optional<int64_t> depthGlitchCounts_;
    double depthBackMetres_ = 0.0;
    bool attitudeBad_ = false;
};

}  // namespace bhv::sim
