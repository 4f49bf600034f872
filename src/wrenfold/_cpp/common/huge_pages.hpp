// Huge pages for the blocks that are mapped afresh on every call. glibc maps a block past
// 32 MiB anew each time, and the first write to each of its 4 KiB pages faults: at tens of
// megabytes, a third of an encode. Asked to, Linux backs the block with 2 MiB pages, a
// five-hundredth of the faults. A hint: where transparent huge pages are off or unknown,
// nothing changes. Plain C++ with no Python dependency.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace wrenfold::common {

// The size from which a block is mapped afresh for every call (glibc's highest mmap
// threshold on 64-bit targets).
inline constexpr size_t kFreshlyMapped = size_t{32} << 20;

// Asks for huge pages over the pages that the `size` bytes at `block` start and end in,
// before they are first written; a block smaller than kFreshlyMapped is left alone. The
// whole of its pages, not the 2 MiB stretches inside it: a mapping whose flags differ part
// way cannot be grown in place, so realloc would copy it.
inline void advise_huge_pages(const void* block, size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (size < kFreshlyMapped) {
        return;
    }
    static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t start = reinterpret_cast<uintptr_t>(block) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size + page - 1) & ~(page - 1);
    // Only a hint: if it is refused, the block is written in small pages as before.
    (void)madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
    (void)block;
    (void)size;
#endif
}

}  // namespace wrenfold::common
