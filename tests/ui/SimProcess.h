#pragma once

// bhv-sim as a child process on loopback: started from the test program's own folder, its
// device addresses read from its output (host and probe from the first line, the camera from
// the line that names it) and each checked to be 127.0.0.1:PORT before anything connects.
//
// It is started with fork and exec of our own rather than QProcess: Qt starts children with a
// vfork-like clone that shares the parent's memory, and the thread sanitizer's clone
// interceptor then does its child-side bookkeeping in the parent thread's own state, leaving
// that thread ignoring every later interceptor, its mutexes included (the sanitizer then
// reports races on data that thread wrote under a held lock).

#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <filesystem>
#include <memory>
#include <string>

#include "sim/ChildProcess.h"

namespace bhv::test {

// The folder of the running test program (bhv and bhv-sim are built beside it).
std::filesystem::path ProgramDir();

// "127.0.0.1:PORT" with a port 1..65535, nothing else.
bool IsLoopbackAddress(const QString& address);

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
    std::unique_ptr<ChildProcess> process_;
};

}  // namespace bhv::test
