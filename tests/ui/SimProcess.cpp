#include "SimProcess.h"

#include <unistd.h>

#include <QDeadlineTimer>

namespace bhv::test {

std::filesystem::path ProgramDir() {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();
}

bool IsLoopbackAddress(const QString& address) {
    static const QRegularExpression pattern(QStringLiteral("^127\\.0\\.0\\.1:([0-9]{1,5})$"));
    const QRegularExpressionMatch match = pattern.match(address);
    if (!match.hasMatch()) return false;
    const int port = match.captured(1).toInt();
    return port >= 1 && port <= 65535;
}

QString AddressIn(const QString& line, const QString& name) {
    const QRegularExpression pattern(QRegularExpression::escape(name) + "=(\\S+)");
    const QRegularExpressionMatch match = pattern.match(line);
    return match.hasMatch() ? match.captured(1) : QString();
}

bool SimProcess::Start(const QStringList& extraArguments) {
    const QString program = QString::fromStdString((ProgramDir() / "bhv-sim").string());
    QStringList arguments = {"--host-port", "0", "--probe-port", "0", "--camera-port", "0"};
    arguments += extraArguments;
    process_.setProcessChannelMode(QProcess::SeparateChannels);
    process_.start(program, arguments);
    if (!process_.waitForStarted(10000)) {
        error = "bhv-sim did not start: " + process_.errorString();
        return false;
    }
    QDeadlineTimer deadline(30000);
    bool firstLine = true;
    while (camera.isEmpty() && !deadline.hasExpired()) {
        if (!process_.canReadLine() && !process_.waitForReadyRead(200)) {
            if (process_.state() != QProcess::Running) break;
            continue;
        }
        while (process_.canReadLine()) {
            const QString line = QString::fromUtf8(process_.readLine()).trimmed();
            if (firstLine) {
                // Host and probe come from the first line only.
                host = AddressIn(line, "host");
                probe = AddressIn(line, "probe");
                firstLine = false;
            }
            if (camera.isEmpty()) camera = AddressIn(line, "camera");
        }
    }
    for (const QString* address : {&host, &probe, &camera}) {
        if (!IsLoopbackAddress(*address)) {
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
    process_.write((line + "\n").toUtf8());
    process_.waitForBytesWritten(1000);
}

void SimProcess::Stop() {
    if (process_.state() == QProcess::NotRunning) return;
    process_.closeWriteChannel();  // the simulator stops at the end of its input
    if (!process_.waitForFinished(5000)) {
        process_.terminate();
        if (!process_.waitForFinished(5000)) process_.kill();
        process_.waitForFinished(2000);
    }
}

}  // namespace bhv::test
