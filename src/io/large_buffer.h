// Large buffers (the point buffer, the coordinate arrays) in huge pages
// where the kernel has them: a 34 MB buffer touched for the first time then
// costs 17 page faults instead of 8,300.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <memory>

// Released with std::free; nullptr when the memory cannot be had.
inline void *allocate_large(size_t bytes) {
    constexpr size_t kHugePage = 2u << 20;
    const size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void *block = std::aligned_alloc(kHugePage, rounded);
    if (block != nullptr) madvise(block, rounded, MADV_HUGEPAGE);  // a hint: without it, small pages
    return block;
}

struct FreeLarge {
    void operator()(void *block) const { std::free(block); }
};
template <class T>
using LargeBuffer = std::unique_ptr<T[], FreeLarge>;

// A block of at least `bytes` to format output in, one per thread and kept
// for the thread's life, so that its memory is touched once rather than
// once per chunk.  Fails with "Failed to allocate memory for output
// buffers" when it cannot be had.
unsigned char *formatting_block(size_t bytes);
