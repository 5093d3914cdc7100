#include "Peers.h"

#include <QCoreApplication>
#include <QFile>
#include <vector>

#include "Driver.h"
#include "Support.h"

namespace bhv::op {

bool PeerProcess::Start(const QString& program, const QStringList& arguments) {
    std::vector<std::string> args;
    for (const QString& a : arguments) args.push_back(QFile::encodeName(a).toStdString());
    process_ = std::make_unique<tools::ChildProcess>(QFile::encodeName(program).toStdString(), args,
                                                     QFile::encodeName(logPath_).toStdString());
    return process_->Running();
}

const QString& PeerProcess::Output() {
    QFile log(logPath_);
    if (log.open(QIODevice::ReadOnly) && log.seek(read_)) {
        const QByteArray more = log.readAll();
        read_ += more.size();
        output_ += QString::fromUtf8(more);
    }
    return output_;
}

void PeerProcess::Send(const QString& line) {
    if (process_) process_->Write(line.toStdString());
}

void PeerProcess::Stop() {
    if (!process_) return;
    process_.reset();
    Output();
}

// The address after `key` in the first output line that has it; empty when not loopback.
std::string AddressIn(const QString& output, const std::string& key) {
    for (const QString& line : output.split('\n')) {
        const std::string text = line.toStdString();
        if (text.find(key) != std::string::npos) return LoopbackAfter(text, key);
    }
    return {};
}

bool StartSimulator(PeerProcess& sim, const QStringList& options) {
    const QString bin = QCoreApplication::applicationDirPath();
    // The camera's rendering and encoding yields to the program: on site it runs on the
    // camera's own hardware, and on a machine of two cores it would otherwise keep the window
    // thread and the X server waiting for a CPU (stalls of 60-170 ms seen).
    if (!sim.Start(bin + "/bhv-sim",
                   QStringList{"--host-port", "0", "--probe-port", "0", "--camera-port", "0",
                               "--camera-nice", "10", "--pulley", "63"}
                       << options)) {
        Say("bhv-operator: bhv-sim did not start (" + bin + "/bhv-sim)");
        return false;
    }
    // The simulator builds its site before its first line: slow under the sanitizers.
    WaitFor([&] { return sim.Output().contains("camera="); }, 90000);
    const std::string host = AddressIn(sim.Output(), "host=");
    const std::string probe = AddressIn(sim.Output(), "probe=");
    const std::string camera = AddressIn(sim.Output(), "camera=");
    Say(QStringLiteral("bhv-sim: host=%1 probe=%2 camera=%3 (pulley 63 mm, the camera at "
                       "niceness 10)")
            .arg(QString::fromStdString(host), QString::fromStdString(probe),
                 QString::fromStdString(camera)));
    if (host.empty() || probe.empty() || camera.empty()) return false;
    qputenv("BHV_HOST_ADDR", QByteArray::fromStdString(host));
    qputenv("BHV_PROBE_ADDR", QByteArray::fromStdString(probe));
    qputenv("BHV_CAMERA_ADDR", QByteArray::fromStdString(camera));
    return true;
}

}  // namespace bhv::op
