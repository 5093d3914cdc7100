// The real program under a real X server: bhv started with no arguments under Xvfb, its device
// addresses pointing at bhv-sim on loopback, shows its main window. The picture is read from
// the X server's frame buffer file (Xvfb -fbdir, XWD format). Skipped without Xvfb.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <set>

#include "SimProcess.h"
#include "support/QtApp.h"
#include "support/TempDir.h"

namespace bhv::test {
namespace {

// An XWD dump of a 24-bit TrueColor screen with 32 bits per pixel, as Xvfb writes it; a null
// image for anything else.
QImage ReadXwd(const QByteArray& data) {
    if (data.size() < 100) return {};
    auto word = [&data](int index) {
        const auto* p = reinterpret_cast<const unsigned char*>(data.constData()) + index * 4;
        return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
    };
    const uint32_t headerSize = word(0), width = word(4), height = word(5), byteOrder = word(7),
                   bitsPerPixel = word(11), bytesPerLine = word(12), redMask = word(14),
                   greenMask = word(15), blueMask = word(16), colours = word(19);
    if (bitsPerPixel != 32 || width == 0 || height == 0 || width > 8192 || height > 8192) return {};
    const qint64 offset = qint64(headerSize) + qint64(colours) * 12;
    if (offset + qint64(bytesPerLine) * height > data.size()) return {};
    auto channel = [](uint32_t pixel, uint32_t mask) {
        if (mask == 0) return 0u;
        int shift = 0;
        while (!((mask >> shift) & 1)) ++shift;
        return ((pixel & mask) >> shift) & 0xFF;
    };
    QImage image(int(width), int(height), QImage::Format_RGB32);
    for (uint32_t y = 0; y < height; ++y) {
        const auto* row =
            reinterpret_cast<const unsigned char*>(data.constData()) + offset + y * bytesPerLine;
        for (uint32_t x = 0; x < width; ++x) {
            const unsigned char* p = row + x * 4;
            const uint32_t pixel =
                byteOrder == 0
                    ? (uint32_t(p[3]) << 24) | (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0]
                    : (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) |
                          p[3];
            image.setPixel(int(x), int(y),
                           qRgb(int(channel(pixel, redMask)), int(channel(pixel, greenMask)),
                                int(channel(pixel, blueMask))));
        }
    }
    return image;
}

// A screen that shows a window: many colours, not one flat fill.
int DistinctColours(const QImage& image) {
    std::set<QRgb> colours;
    for (int y = 0; y < image.height(); y += 3)
        for (int x = 0; x < image.width(); x += 3) colours.insert(image.pixel(x, y));
    return int(colours.size());
}

class ProcessGuard {
public:
    explicit ProcessGuard(QProcess& process) : process_(process) {}
    ~ProcessGuard() {
        if (process_.state() == QProcess::NotRunning) return;
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(2000);
        }
    }

private:
    QProcess& process_;
};

TEST(ProgramTest, BhvShowsItsMainWindowUnderXvfb) {
    const QString xvfbRun = QStandardPaths::findExecutable("xvfb-run");
    const QString xvfb = QStandardPaths::findExecutable("Xvfb");
    if (xvfbRun.isEmpty() || xvfb.isEmpty()) GTEST_SKIP() << "xvfb-run (Xvfb) is not installed";

    SimProcess sim;
    ASSERT_TRUE(sim.Start()) << sim.error.toStdString();
    for (const QString& address : {sim.host, sim.probe, sim.camera})
        ASSERT_TRUE(IsLoopbackEndpoint(address.toStdString())) << address.toStdString();

    TempDir frameBuffer;
    QProcess server;
    ProcessGuard serverGuard(server);
    // -displayfd 1: the server picks a free display and prints its number.
    server.start(xvfb, {"-displayfd", "1", "-screen", "0", "1366x768x24", "-fbdir",
                        QString::fromStdString(frameBuffer.path().string()), "-nolisten", "tcp"});
    ASSERT_TRUE(server.waitForStarted(10000));
    QString display;
    ASSERT_TRUE(WaitFor(
        [&] {
            server.waitForReadyRead(50);
            if (server.canReadLine()) display = QString::fromUtf8(server.readLine()).trimmed();
            return !display.isEmpty();
        },
        20000))
        << "Xvfb named no display";

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DISPLAY", ":" + display);
    environment.insert("QT_QPA_PLATFORM", "xcb");
    environment.insert("BHV_HOST_ADDR", sim.host);
    environment.insert("BHV_PROBE_ADDR", sim.probe);
    environment.insert("BHV_CAMERA_ADDR", sim.camera);
    QProcess bhv;
    ProcessGuard bhvGuard(bhv);
    bhv.setProcessEnvironment(environment);
    bhv.setProcessChannelMode(QProcess::MergedChannels);
    bhv.start(QString::fromStdString((ProgramDir() / "bhv").string()), {});
    ASSERT_TRUE(bhv.waitForStarted(10000));

    const QString screenFile =
        QString::fromStdString((frameBuffer.path() / "Xvfb_screen0").string());
    QImage screen;
    QByteArray output;
    const bool shown = WaitFor(
        [&] {
            bhv.waitForReadyRead(50);
            output += bhv.readAll();
            QFile file(screenFile);
            if (!file.open(QIODevice::ReadOnly)) return false;
            screen = ReadXwd(file.readAll());
            // Painted through to the bottom row, whose buttons are light.
            return !screen.isNull() && DistinctColours(screen) > 20 &&
                   qGray(screen.pixel(100, 768 - 65 - 30)) > 150;
        },
        60000);
    EXPECT_EQ(bhv.state(), QProcess::Running) << output.toStdString();
    ASSERT_TRUE(shown) << "the screen stayed blank; bhv said: " << output.toStdString();
    // The addresses it will use, printed before it connects anywhere.
    EXPECT_TRUE(output.contains(("host unit " + sim.host).toUtf8())) << output.toStdString();
    EXPECT_TRUE(output.contains(("probe " + sim.probe).toUtf8()));
    EXPECT_TRUE(output.contains(("camera " + sim.camera).toUtf8()));
    // The left half holds the black video surround (not connected: no picture).
    EXPECT_EQ(QColor(screen.pixel(200, 300)), QColor(Qt::black));
}

TEST(ProgramTest, HelpNamesTheAddressVariables) {
    QProcess bhv;
    bhv.start(QString::fromStdString((ProgramDir() / "bhv").string()), {"--help"});
    ASSERT_TRUE(bhv.waitForFinished(10000));
    EXPECT_EQ(bhv.exitCode(), 0);
    const QString text = QString::fromUtf8(bhv.readAllStandardOutput());
    for (const char* name : {"BHV_HOST_ADDR", "BHV_PROBE_ADDR", "BHV_CAMERA_ADDR"})
        EXPECT_TRUE(text.contains(name)) << name;
}

}  // namespace
}  // namespace bhv::test
