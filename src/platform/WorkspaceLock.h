#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace bhv {

// The claim of one program on a workspace folder, so that two programs never write the same
// projects: a lock file in the folder (kFileName) held open and locked by the process. The
// operating system lets the lock go with the process, so a crash or a kill never leaves a
// workspace claimed; the file itself stays and is reused. While held, it names the holder
// ("<pid> <program>") for the message of a program that is refused.
//
// The lock belongs to the open file, not to the process alone: a second WorkspaceLock in the
// same process is refused like another program. Threads: one thread uses an object.
class WorkspaceLock {
public:
    static constexpr const char* kFileName = ".bhv-lock";

    enum class Outcome {
        Locked,       // this object holds the folder now
        Held,         // another program (or another object) holds it
        Unavailable,  // the lock file cannot be made or locked (a missing or read-only folder)
    };
    struct Result {
        Outcome outcome = Outcome::Unavailable;
        long holderPid = 0;         // Held: the holder's process id; 0 when it does not say
        std::string holderProgram;  // Held: the holder's program name; empty when unknown
        std::string error;          // Unavailable: why
    };

    WorkspaceLock() = default;
    ~WorkspaceLock() { Release(); }
    WorkspaceLock(const WorkspaceLock&) = delete;
    WorkspaceLock& operator=(const WorkspaceLock&) = delete;

    // Claims `folder` (it must exist) for this process under `program`'s name (the running
    // executable's when empty). The folder held before is let go only once the new one is
    // held; when the new one is refused or unavailable the old one stays held. Claiming the
    // folder this object holds already succeeds and changes nothing.
    Result Acquire(const std::filesystem::path& folder, const std::string& program = {});
    // Lets the folder go (nothing when none is held).
    void Release();

    bool Holds() const { return handle_ >= 0; }
    // The folder held; empty when none.
    const std::filesystem::path& Folder() const { return folder_; }

    // The running executable's file name ("bhv", "bhv-acquire").
    static std::string ProgramName();

private:
    std::intptr_t handle_ = -1;  // the open lock file (a file descriptor; a HANDLE on Windows)
    std::filesystem::path folder_;
};

}  // namespace bhv
