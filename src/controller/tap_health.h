#pragma once

// What the aligned mode's tick judges once per tick: whether the engine's tap hears anything, and
// whether the system output stays on the reference speaker. Main thread only.

#include <optional>
#include <string>
#include <vector>

#include "audio/audio_hardware.h"
#include "core/dev.h"
#include "engine/tap_engine.h"

namespace housetone {

// Whether the tap delivers sound, from the engine's meter read once per tick.
class TapHealth {
  public:
    struct Verdict {
        // Sound arrives but has been silent for a few ticks; absent when the meter cannot tell
        // (nothing arrived and no click plays), so the last verdict stands.
        std::optional<bool> silent;
        // Callbacks run but not one sample of sound has arrived since the start: most likely the
        // system-audio permission is missing.
        bool blocked = false;
    };

    // A new engine start: nothing is known yet.
    void reset() { *this = TapHealth{}; }
    // One tick's meter; `clicking`: the click test plays, so there must be sound.
    Verdict observe(const TapEngine::Meter& meter, bool clicking);

  private:
    int silentTicks_ = 0;
    int deadTapTicks_ = 0;
    bool sawTapEnergy_ = false;
};

// Keeps the system output on the reference speaker while the aligned engine plays through it.
class OutputPin {
  public:
    // A new mode application: misses and the warning start over.
    void reset() { *this = OutputPin{}; }
    // Puts the output back on `reference` when the user or another program moved it elsewhere (a
    // reference not among `listed` is left alone). Returns the line to say, once: the output
    // could not be put back, or did not stay there three ticks in a row, so other programs' sound
    // may bypass the engine.
    std::optional<std::string> keep(AudioHardware& hw, const Dev& reference,
                                    const std::vector<Dev>& listed);

  private:
    int misses_ = 0;       // ticks in a row that found the output off the reference
    bool warned_ = false;  // that the output cannot be kept there was said
};

}  // namespace housetone
