// Memory for the tables sized at start-up. A mapping is zeroed by the system and takes no page
// until an entry on it is written, so a table sized for thousands of peers costs the node only
// what its peers have used.
#pragma once

#include <sys/mman.h>

#include <cstddef>

// `bytes` of zeroed memory, or nullptr when the system refuses. Reserved without swap: what is
// never touched is never charged.
inline void *mapZeroed(size_t bytes)
{
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

inline void unmapZeroed(void *p, size_t bytes)
{
    if (p) (void)munmap(p, bytes);
}
