#pragma once

// A file of the fuzzer's bytes for loaders that read from a path: one folder per process below
// the temporary folder, the same file name rewritten for every input.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace bhv::fuzz {

// The folder, removed when the process ends.
class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "bhv-fuzz-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) std::abort();
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline const std::filesystem::path& Folder() {
    static const TempFolder folder;
    return folder.path();
}

inline std::filesystem::path WriteInput(const std::string& name, const uint8_t* data, size_t size) {
    const std::filesystem::path file = Folder() / name;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out.flush()) std::abort();
    return file;
}

}  // namespace bhv::fuzz
