#pragma once

#include <optional>
#include <utility>
#include <vector>

#include "core/offsets.h"
#include "engine/tap_engine.h"
#include "platform/manual_main_queue.h"

namespace housetone::testsupport {

// Starts `engine` (no anchor) and pumps the main queue until the start's completion arrives, for
// at most 20 s; nullopt if it never does.
inline std::optional<bool> startAndWait(TapEngine& engine, ManualMainQueue& mq,
                                        std::vector<Dev> targets, Offsets offsets = {},
                                        std::uint64_t run = 1) {
    std::optional<bool> result;
    engine.start(std::nullopt, std::move(targets), std::move(offsets), run,
                 [&](bool ok) { result = ok; });
    mq.runUntil([&] { return result.has_value(); }, 20);
    return result;
}

}  // namespace housetone::testsupport
