#include "platform/ThreadName.h"

#if defined(__linux__)
#include <pthread.h>

#include <cstring>
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

}  // namespace bhv
