#pragma once

namespace bhv {

// Names the calling thread (at most 15 characters are kept), so that per-thread figures
// (/proc/self/task/*/stat, top -H, a debugger) tell the program's threads apart. Does nothing
// where the system has no thread names.
void NameThisThread(const char* name);

}  // namespace bhv
