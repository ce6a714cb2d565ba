#include "support/alloc_hook.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "platform/realtime.h"

namespace {
std::atomic<std::uint64_t> gRealtimeAllocations{0};

void* allocate(std::size_t size, std::size_t align = 0) {
    if (housetone::inRealtimeCallback) gRealtimeAllocations.fetch_add(1, std::memory_order_relaxed);
    void* p = align ? std::aligned_alloc(align, (size + align - 1) / align * align)
                    : std::malloc(size ? size : 1);
    if (!p) throw std::bad_alloc{};
    return p;
}
}  // namespace

namespace housetone::testsupport {
std::uint64_t realtimeAllocations() {
    return gRealtimeAllocations.load(std::memory_order_relaxed);
}
}  // namespace housetone::testsupport

// The array, sized and nothrow forms the library provides call these two pairs, so replacing
// them counts every allocation.
void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new(std::size_t size, std::align_val_t a) {
    return allocate(size, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
