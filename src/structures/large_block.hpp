// Blocks for large tables that are read at random.
//
// A table of many megabytes read at random misses the TLB on nearly every
// access with 4 KiB pages, and a software prefetch that misses the TLB may
// be dropped.  A block of at least 2 MiB is therefore aligned to 2 MiB and
// offered to the kernel for transparent huge pages (where it takes them
// only on request); smaller blocks come from malloc as usual.  Either way
// the block is given back with `free_block`.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace corvane {

inline constexpr size_t kHugePage = size_t{2} << 20;

inline void* allocate_block(size_t bytes) {
    void* p = nullptr;
    if (bytes >= kHugePage) {
        const size_t rounded = (bytes + kHugePage - 1) & ~(kHugePage - 1);
        p = std::aligned_alloc(kHugePage, rounded);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        if (p != nullptr) madvise(p, rounded, MADV_HUGEPAGE);
#endif
    } else {
        p = std::malloc(bytes);
    }
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

inline void free_block(void* p) noexcept { std::free(p); }

}  // namespace corvane
