#pragma once

namespace bhv {

// The allocator set for a program that moves 7.5 MB camera frames and 20 MB pages between
// threads all the time. Called once at the start of main, before any thread starts.
//
// glibc serves large blocks with their own mappings, but after such a block is freed it raises
// that threshold (up to 32 MB), so the next frames and pages come from the per-thread heaps,
// which keep the freed room and break it into pieces: the resident memory then stays hundreds
// of megabytes above what is in use. A fixed threshold keeps every block of 1 MB and more in
// its own mapping, given back to the system when it is freed, and fewer heaps hold less room
// that no thread uses. Does nothing on other systems.
void TuneAllocator();

// Gives the system back the free room inside the heaps (after a page, when the big blocks of
// its work are gone). A few milliseconds at most; not for a thread with a deadline.
void ReleaseFreeMemory();

}  // namespace bhv
