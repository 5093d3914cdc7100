#pragma once

// bhv-sim as a child process on loopback: started from the test program's own folder, its
// device addresses read from its output (host and probe from the first line, the camera from
// the line that names it) and each checked to be 127.0.0.1:PORT before anything connects.
//
// It is owned by a tools::ChildProcess (fork and exec of our own, not QProcess: see there).

#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <filesystem>
#include <memory>
#include <string>

#include "ChildProcess.h"
#include "platform/Endpoint.h"

namespace bhv::test {

// The folder of the running test program (bhv and bhv-sim are built beside it).
std::filesystem::path ProgramDir();

// The value of `name=...` in a line of the simulator's output; empty when missing.
QString AddressIn(const QString& line, const QString& name);

class SimProcess {
public:
    SimProcess() = default;
    ~SimProcess() { Stop(); }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Starts the simulator with free ports, the camera playing live; true once all three
    // addresses are known and on loopback. `error` says what went wrong otherwise.
    bool Start(const QStringList& extraArguments = {});
    void Stop();
    // Sends one command line to the simulator's standard input.
    void Command(const QString& line);

    QString host, probe, camera;
    QString error;

private:
    std::unique_ptr<tools::ChildProcess> process_;
};

}  // namespace bhv::test
