#include "platform/WorkspaceLock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace bhv {
namespace {

// "<pid> <program>\n" as the holder wrote it.
void ParseHolder(std::string_view text, WorkspaceLock::Result& r) {
    const size_t eol = text.find('\n');
    if (eol == std::string_view::npos) return;  // not (yet) written in full
    text = text.substr(0, eol);
    const size_t blank = text.find(' ');
    if (blank == std::string_view::npos) return;
    const std::string pid(text.substr(0, blank));
    char* end = nullptr;
    const long value = std::strtol(pid.c_str(), &end, 10);
    if (end == pid.c_str() || *end != '\0' || value <= 0) return;
    r.holderPid = value;
    r.holderProgram = std::string(text.substr(blank + 1));
}

#ifdef _WIN32
long CurrentPid() {
    return static_cast<long>(GetCurrentProcessId());
}
#else
long CurrentPid() {
    return static_cast<long>(::getpid());
}
#endif

}  // namespace

std::string WorkspaceLock::ProgramName() {
#ifdef _WIN32
    wchar_t buf[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
    return std::filesystem::path(std::wstring(buf, n)).stem().u8string();
#else
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string("?") : exe.filename().string();
#endif
}

#ifdef _WIN32

// The lock lies on one byte far past the text, so that a refused program can still read who
// holds it (Windows locks keep others from reading the range they cover).
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;

WorkspaceLock::Result WorkspaceLock::Acquire(const std::filesystem::path& folder,
                                             const std::string& program) {
    Result r;
    const std::filesystem::path file = folder / kFileName;
    HANDLE h = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        r.error =
            "cannot open " + file.string() + " (error " + std::to_string(GetLastError()) + ")";
        return r;
    }
    if (Holds()) {
        BY_HANDLE_FILE_INFORMATION a{}, b{};
        if (GetFileInformationByHandle(h, &a) &&
            GetFileInformationByHandle(reinterpret_cast<HANDLE>(handle_), &b) &&
            a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
            a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow) {
            CloseHandle(h);
            folder_ = folder;
            r.outcome = Outcome::Locked;
            return r;
        }
    }
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        const DWORD error = GetLastError();
        if (error == ERROR_LOCK_VIOLATION) {
            char text[256];
            DWORD n = 0;
            if (ReadFile(h, text, sizeof text, &n, nullptr))
                ParseHolder(std::string_view(text, n), r);
            r.outcome = Outcome::Held;
        } else {
            r.error = "cannot lock " + file.string() + " (error " + std::to_string(error) + ")";
        }
        CloseHandle(h);
        return r;
    }
    const std::string text =
        std::to_string(CurrentPid()) + ' ' + (program.empty() ? ProgramName() : program) + '\n';
    DWORD written = 0;
    SetEndOfFile(h);
    WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    SetEndOfFile(h);
    Release();
    handle_ = reinterpret_cast<std::intptr_t>(h);
    folder_ = folder;
    r.outcome = Outcome::Locked;
    return r;
}

void WorkspaceLock::Release() {
    if (handle_ < 0) return;
    CloseHandle(reinterpret_cast<HANDLE>(handle_));  // closing lets the lock go
    handle_ = -1;
    folder_.clear();
}

#else

WorkspaceLock::Result WorkspaceLock::Acquire(const std::filesystem::path& folder,
                                             const std::string& program) {
    Result r;
    const std::filesystem::path file = folder / kFileName;
    // Never truncated on open: while another holds it, the text names the holder. Not passed
    // to the programs this one starts, which would hold the lock on after this one ends.
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        r.error = "cannot open " + file.string() + ": " + std::strerror(errno);
        return r;
    }
    if (Holds()) {
        struct stat a {
        }, b{};
        if (::fstat(fd, &a) == 0 && ::fstat(static_cast<int>(handle_), &b) == 0 &&
            a.st_dev == b.st_dev && a.st_ino == b.st_ino) {
            ::close(fd);
            folder_ = folder;
            r.outcome = Outcome::Locked;
            return r;
        }
    }
    // flock, not fcntl: an fcntl lock belongs to the process and goes when it closes any
    // descriptor of the file; this one belongs to this descriptor, and goes with it or with
    // the process.
    int rc;
    do rc = ::flock(fd, LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        if (errno == EWOULDBLOCK) {
            char text[256];
            const ssize_t n = ::pread(fd, text, sizeof text, 0);
            if (n > 0) ParseHolder(std::string_view(text, static_cast<size_t>(n)), r);
            r.outcome = Outcome::Held;
        } else {
            r.error = "cannot lock " + file.string() + ": " + std::strerror(errno);
        }
        ::close(fd);
        return r;
    }
    const std::string text =
        std::to_string(CurrentPid()) + ' ' + (program.empty() ? ProgramName() : program) + '\n';
    // Who holds it is only a courtesy for the message: a failed write leaves the lock held.
    if (::ftruncate(fd, 0) == 0 &&
        ::pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
        (void)::ftruncate(fd, 0);
    Release();
    handle_ = fd;
    folder_ = folder;
    r.outcome = Outcome::Locked;
    return r;
}

void WorkspaceLock::Release() {
    if (handle_ < 0) return;
    // The text goes first, so that the file never names a program that holds nothing.
    (void)::ftruncate(static_cast<int>(handle_), 0);
    ::close(static_cast<int>(handle_));  // closing lets the lock go
    handle_ = -1;
    folder_.clear();
}

#endif

}  // namespace bhv
