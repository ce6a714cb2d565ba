#pragma once

#include <cstdint>

namespace housetone::testsupport {

// Allocations made on any thread while it ran a realtime callback (see platform/realtime.h),
// counted by the global operator new of every test program.
std::uint64_t realtimeAllocations();

// Checks in a scope that no realtime callback allocated meanwhile.
class NoRealtimeAllocations {
  public:
    NoRealtimeAllocations() : before_(realtimeAllocations()) {}
    std::uint64_t count() const { return realtimeAllocations() - before_; }

  private:
    std::uint64_t before_;
};

}  // namespace housetone::testsupport
