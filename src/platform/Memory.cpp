#include "platform/Memory.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace bhv {

namespace {

// Blocks from this size on get a mapping of their own.
constexpr int kOwnMappingBytes = 1 << 20;
// The window thread, the decoder, the display and the image threads allocate most; the other
// threads share these heaps.
constexpr int kHeaps = 4;

}  // namespace

void TuneAllocator() {
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, kOwnMappingBytes);
    mallopt(M_ARENA_MAX, kHeaps);
#endif
}

void ReleaseFreeMemory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

}  // namespace bhv
