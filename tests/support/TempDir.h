#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/Environment.h"

namespace bhv::test {

// A fresh folder below the system's temporary folder, removed with everything in it when the
// object goes away.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "bhv-test-XXXXXX").string();
        if (!mkdtemp(pattern.data())) ADD_FAILURE() << "mkdtemp failed";
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The folder as wide text with a trailing separator, as the program's paths are kept.
    std::wstring wide() const { return (path_ / "").wstring(); }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Points BHV_ROOT (the program's root folder) at a folder for the life of the object.
class ScopedRoot {
public:
    explicit ScopedRoot(const std::filesystem::path& root) {
        if (const char* old = std::getenv("BHV_ROOT")) old_ = old;
        setenv("BHV_ROOT", (root / "").c_str(), 1);
    }
    ~ScopedRoot() { setenv("BHV_ROOT", old_.c_str(), 1); }

private:
    std::string old_;
};

// The root folder as a program started now would read it from its environment.
inline std::wstring Root() {
    return ReadStartupEnvironment().workspaceRoot;
}

}  // namespace bhv::test
