#pragma once

namespace bhv {

// Names the calling thread (at most 15 characters are kept), so that per-thread figures
// (/proc/self/task/*/stat, top -H, a debugger) tell the program's threads apart. Does nothing
// where the system has no thread names.
void NameThisThread(const char* name);

// Lowers the calling thread's scheduling priority below the program's other threads (work that
// may wait, such as reading the stored pages for structures). Does nothing where the system
// offers no such setting.
void LowerThisThreadPriority();

}  // namespace bhv
