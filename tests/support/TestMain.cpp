// The main of every test program. Before any test runs, HOME and BHV_ROOT point into a fresh
// temporary folder of this process, so no test (nor any simulator or tool a test starts, which
// inherits the environment) can write into the real home folder; the folder is removed at exit.
// The device addresses default to loopback for the same reason.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

std::string MakeProcessHome() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "bhv-test-home-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return {};
    std::filesystem::create_directories(std::filesystem::path(pattern) / "workspace");
    return pattern;
}

}  // namespace

// The thread sanitizer's defaults for every test program: stop at the first report. GDAL, which
// OpenCV's image codecs load, is not instrumented; its own lock pairs are not ours to judge.
extern "C" const char* __tsan_default_options() {
    return "halt_on_error=1:second_deadlock_stack=1";
}
extern "C" const char* __tsan_default_suppressions() {
    return "deadlock:libgdal.so\nrace:libgdal.so\n";
}

int main(int argc, char** argv) {
    const std::string home = MakeProcessHome();
    if (home.empty()) return 2;
    setenv("HOME", home.c_str(), 1);
    setenv("BHV_ROOT", (home + "/workspace/").c_str(), 1);
    // The user's settings folder follows HOME ($HOME/.config/bhv), never the real one.
    unsetenv("XDG_CONFIG_HOME");
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // A test that forgets to point the program at its own peer must never reach the compiled-in
    // device addresses: by default the devices are a loopback port where nothing listens.
    for (const char* device : {"BHV_HOST_ADDR", "BHV_PROBE_ADDR", "BHV_CAMERA_ADDR"})
        setenv(device, "127.0.0.1:9", 0);

    ::testing::InitGoogleMock(&argc, argv);
    const int result = RUN_ALL_TESTS();

    std::error_code ec;
    std::filesystem::remove_all(home, ec);
    return result;
}
