#include "platform/FileSystem.h"

#include <cstdlib>
#include <fstream>
#include <system_error>

#include "platform/Paths.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace bhv {
namespace fs = std::filesystem;

bool CreateDirectoryTree(const std::wstring& path) {
    if (path.empty()) return false;
    std::error_code ec;
    const fs::path p = FsPath(path);
    if (fs::is_directory(p, ec)) return true;
    // Make the parent first (its own result does not matter: the final check decides).
    size_t cut = path.find_last_of(L"/\\");
    if (cut != std::wstring::npos && cut > 0) CreateDirectoryTree(path.substr(0, cut));
    fs::create_directory(p, ec);
    return fs::is_directory(p, ec);
}

int64_t FreeSpaceGB(const std::wstring& path) {
    std::error_code ec;
    fs::path p = FsPath(path);
    // The drive of a folder that does not exist yet is that of its nearest existing parent.
    while (!p.empty() && !fs::exists(p, ec) && p.has_parent_path() && p.parent_path() != p)
        p = p.parent_path();
    const fs::space_info info = fs::space(p, ec);
    if (ec) return -1;
    return static_cast<int64_t>(info.available >> 30);
}

// Pushes the file's data to the disk (so that a rename never publishes an empty file after a
// power cut, and an appended record outlives a kill or a power cut).
bool FlushToDisk(const fs::path& file) {
#ifdef _WIN32
    (void)file;
    return true;
#else
    const int fd = ::open(file.c_str(), O_RDONLY);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
#endif
}

bool ReplaceFileAtomically(const fs::path& target,
                           const std::function<bool(const fs::path& temp)>& write) {
    fs::path temp = target;
    temp += ".tmp";
    std::error_code ec;
    fs::remove(temp, ec);
    if (!write(temp) || !fs::exists(temp, ec) || !FlushToDisk(temp)) {
        fs::remove(temp, ec);
        return false;
    }
    fs::rename(temp, target, ec);
    if (ec) {
        fs::remove(temp, ec);
        return false;
    }
    return true;
}

bool ReadNumberPairLines(const std::filesystem::path& path, const std::string& header,
                         const std::string& kind, std::vector<std::pair<int64_t, int64_t>>& rows,
                         std::string& error) {
    rows.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path.string();
        return false;
    }
    std::string line;
    if (!std::getline(in, line) || (line != header && line != header + "\r")) {
        error = path.string() + " is not a " + kind;
        return false;
    }
    while (std::getline(in, line) && !in.eof()) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const char* p = line.c_str();
        char* end = nullptr;
        const long long a = std::strtoll(p, &end, 10);
        if (end == p || *end != ',') break;
        p = end + 1;
        const long long b = std::strtoll(p, &end, 10);
        if (end == p || *end != '\0') break;
        rows.emplace_back(a, b);
    }
    return true;
}

}  // namespace bhv
