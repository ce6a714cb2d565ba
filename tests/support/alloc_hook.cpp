#include "support/alloc_hook.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "platform/realtime.h"

// Only the basic forms are replaced: the standard library's array, aligned sized and nothrow forms
// forward to them, so every allocation on a realtime thread passes through here.
namespace {
std::atomic<std::uint64_t> gRealtimeAllocations{0};

void* counted(void* p) {
    if (housetone::inRealtimeCallback) gRealtimeAllocations.fetch_add(1, std::memory_order_relaxed);
    if (!p) throw std::bad_alloc{};
    return p;
}
}  // namespace

namespace housetone::testsupport {
std::uint64_t realtimeAllocations() {
    return gRealtimeAllocations.load(std::memory_order_relaxed);
}
}  // namespace housetone::testsupport

void* operator new(std::size_t size) {
    return counted(std::malloc(size ? size : 1));
}
void* operator new(std::size_t size, std::align_val_t align) {
    const auto a = static_cast<std::size_t>(align);
    return counted(std::aligned_alloc(a, (size + a - 1) / a * a));
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
