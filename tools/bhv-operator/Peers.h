#pragma once

#include <QString>
#include <QStringList>
#include <memory>
#include <string>

#include "ChildProcess.h"

namespace bhv::op {

// A peer program (bhv-sim, bhv-data-server) in a process of its own, owned by a
// tools::ChildProcess (ended on every return of the operator, and by the kernel on any other
// end): its standard output and error go to its log, which Output() reads back, and its
// standard input takes Send.
class PeerProcess {
public:
    explicit PeerProcess(QString logPath) : logPath_(std::move(logPath)) {}

    // False when the program could not be started (its log says why when it got that far).
    bool Start(const QString& program, const QStringList& arguments);
    // Everything printed so far.
    const QString& Output();
    void Send(const QString& line);
    void Stop();

private:
    QString logPath_;
    std::unique_ptr<tools::ChildProcess> process_;
    qint64 read_ = 0;
    QString output_;
};

// The address after `key` in the first output line that has it; empty when not loopback.
std::string AddressIn(const QString& output, const std::string& key);

// bhv-sim as both scripts run it: all ports chosen by the system, the 63 mm pulley, the live
// camera rendering and encoding at niceness 10, and `options` (more of its options). Once it
// listens, its loopback addresses become the program's device addresses (BHV_HOST_ADDR,
// BHV_PROBE_ADDR, BHV_CAMERA_ADDR) and are said.
// False, and nothing set, when it did not start or gave an address that is not 127.0.0.1:PORT:
// the window must not connect.
bool StartSimulator(PeerProcess& sim, const QStringList& options = {});

}  // namespace bhv::op
