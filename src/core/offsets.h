#pragma once

#include <map>
#include <string>
#include <vector>

#include "core/dev.h"

namespace housetone {

// Every speaker's offset, ms per UID: how long its sound is held back so that it arrives together
// with the others. The rules an offset obeys live here, once: the limit it is set within, the
// refusal of a value no settings file can hold, the re-basing that leaves nobody below 0, and what
// the engine plays for it. A speaker without an entry sits at 0.
class Offsets {
  public:
    // The furthest an offset may be set either way, ms. Speakers on other machines (network
    // sinks) arrive from a tenth of a second to well over two seconds late, and some Bluetooth
    // ones beyond a quarter second, so the limit leaves room past the slowest of them; the
    // engine's delay line holds 5 s. Re-basing may carry an offset past the limit: that is still
    // what the user set, relative to the others.
    static constexpr double limitMs = 3000.0;

    Offsets() = default;
    // Values as they are (a loaded file's, a test's); clampAll holds them to the limit.
    explicit Offsets(std::map<std::string, double> ms) : ms_(std::move(ms)) {}

    const std::map<std::string, double>& values() const { return ms_; }
    // The speaker's offset; 0 when it has none.
    double of(const std::string& uid) const;

    // Sets one speaker's offset, held within ±limitMs. A value that is not finite is refused
    // (false, nothing changes): NaN passes std::clamp, and no settings file can hold it.
    bool set(const std::string& uid, double ms);
    // One speaker moved by deltaMs and held within [0, limitMs]: a step that cannot make it
    // earlier than the reference (the guided walk). A delta that is not finite is refused.
    bool step(const std::string& uid, double deltaMs);
    // Holds every value within ±limitMs; whether any changed.
    bool clampAll();

    // What shiftAll did: nothing (refused), or moved, with whether some offset stopped at 0.
    struct Shift {
        bool moved = false;
        bool reachedZero = false;
    };
    // Moves each of `uids` by deltaMs (from 0 when it has none), held within [0, limitMs]. A
    // delta that is not finite is refused.
    Shift shiftAll(const std::vector<std::string>& uids, double deltaMs);

    // When some offset is below 0, moves every speaker later by as much, so the lowest lands on 0;
    // each of `listed` without an offset sits at 0 and moves with the others. Returns how far they
    // moved, ms (0 when nobody was below 0 and nothing changed).
    double rebase(const std::vector<std::string>& listed);

    // What the engine plays for one offset: it can only hold a speaker back, and no further than
    // its delay line (maxMs); NaN plays at once.
    static double heldBackMs(double ms, double maxMs);
    // What each of `targets` plays, in order: its offset held back as above, 0 without one. A lone
    // target plays at once: it has nobody to wait for.
    std::vector<double> played(const std::vector<Dev>& targets, double maxMs) const;

    friend bool operator==(const Offsets&, const Offsets&) = default;

  private:
    std::map<std::string, double> ms_;
};

}  // namespace housetone
