#include "SimProcess.h"

#include <chrono>
#include <vector>

namespace bhv::test {

std::filesystem::path ProgramDir() {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();
}

QString AddressIn(const QString& line, const QString& name) {
    const QRegularExpression pattern(QRegularExpression::escape(name) + "=(\\S+)");
    const QRegularExpressionMatch match = pattern.match(line);
    return match.hasMatch() ? match.captured(1) : QString();
}

bool SimProcess::Start(const QStringList& extraArguments) {
    Stop();
    host.clear();
    probe.clear();
    camera.clear();
    std::vector<std::string> arguments = {"--host-port",   "0", "--probe-port", "0",
                                          "--camera-port", "0"};
    for (const QString& a : extraArguments) arguments.push_back(a.toStdString());
    process_ =
        std::make_unique<tools::ChildProcess>((ProgramDir() / "bhv-sim").string(), arguments);
    if (!process_->Running()) {
        error = "bhv-sim did not start";
        return false;
    }
    // The first lines come after the simulator has built its site, which takes long under the
    // sanitizers on a busy machine.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    bool firstLine = true;
    while (camera.isEmpty()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        const auto text = process_->ReadLine(left);
        if (!text) break;  // out of time, or the simulator ended
        const QString line = QString::fromStdString(*text).trimmed();
        if (firstLine) {
            // Host and probe come from the first line only.
            host = AddressIn(line, "host");
            probe = AddressIn(line, "probe");
            firstLine = false;
        }
        camera = AddressIn(line, "camera");
    }
    for (const QString* address : {&host, &probe, &camera}) {
        if (!IsLoopbackEndpoint(address->toStdString())) {
            error = "bhv-sim gave no loopback address: host='" + host + "' probe='" + probe +
                    "' camera='" + camera + "'";
            Stop();
            host.clear();
            probe.clear();
            camera.clear();
            return false;
        }
    }
    return true;
}

void SimProcess::Command(const QString& line) {
    if (process_) process_->Write(line.toStdString());
}

void SimProcess::Stop() {
    // The end of its input, then SIGTERM; both stop the simulator cleanly.
    if (process_) process_->Stop();
    process_.reset();
}

}  // namespace bhv::test
