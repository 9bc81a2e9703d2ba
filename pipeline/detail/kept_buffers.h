// The pipeline's large working buffers, which each thread keeps for its next
// run: a run over a small image otherwise spends a quarter of its time
// having fresh pages mapped and zeroed by the system, because the C library
// hands freed memory back at the end of every run. A thread keeps a few freed
// blocks of 64 KiB and more, up to 16 MiB, and gives one back when a run asks
// for exactly its size, which repeated runs over images of one size do. The
// blocks go when the thread ends. Buffers are zeroed as before.
#ifndef QOVA_PIPELINE_DETAIL_KEPT_BUFFERS_H
#define QOVA_PIPELINE_DETAIL_KEPT_BUFFERS_H

#include <cstddef>
#include <vector>

namespace qova::pipeline {

namespace kept {
// A block of `bytes` from this thread's kept blocks, or new.
void *take(std::size_t bytes);
// Back to this thread's kept blocks, or freed.
void give(void *block, std::size_t bytes) noexcept;
}  // namespace kept

template <class T>
struct KeptAllocator {
    using value_type = T;
    KeptAllocator() = default;
    template <class U>
    KeptAllocator(const KeptAllocator<U> &) noexcept {}  // NOLINT(google-explicit-constructor): as std::allocator
    T *allocate(std::size_t n) { return static_cast<T *>(kept::take(n * sizeof(T))); }
    void deallocate(T *p, std::size_t n) noexcept { kept::give(p, n * sizeof(T)); }
    template <class U>
    bool operator==(const KeptAllocator<U> &) const noexcept {
        return true;
    }
    template <class U>
    bool operator!=(const KeptAllocator<U> &) const noexcept {
        return false;
    }
};

template <class T>
using KeptBuffer = std::vector<T, KeptAllocator<T>>;

}  // namespace qova::pipeline

#endif
