#include "platform/ThreadName.h"

#if defined(__linux__)
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#elif defined(_WIN32)
#include <windows.h>
#endif

namespace bhv {

void NameThisThread(const char* name) {
#if defined(__linux__)
    char shortName[16] = {};
    std::strncpy(shortName, name, sizeof shortName - 1);
    pthread_setname_np(pthread_self(), shortName);
#else
    (void)name;
#endif
}

void LowerThisThreadPriority() {
#if defined(__linux__)
    // On Linux the nice value is per thread: ten steps below the process's own.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
#elif defined(_WIN32)
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
#endif
}

}  // namespace bhv
