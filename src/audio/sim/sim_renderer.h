#pragma once

#include <cstdint>
#include <vector>

#include "audio/aggregate_layout.h"
#include "audio/sim/room.h"
#include "audio/sim/sim_captures.h"
#include "audio/sim/sim_io_callbacks.h"
#include "audio/sim/sim_object_table.h"
#include "audio/sim/sim_player.h"
#include "audio/sim/sim_system_sound.h"

namespace housetone::sim {

// How running taps deliver the system mix (on top of the room's system-audio permission).
enum class TapDelivery { normal, silence, nothing };

// One buffer of the world after another, in the order sound travels: what the client programs
// play, which of it running taps silence, the rest on the default output, every started I/O
// callback, and the room that carries each speaker to the listening position.
// Thread-safety: none of its own; render() and every other call are made with the hardware's
// mutex held, because rendering reads and writes the objects, the callbacks and the captures
// that the hardware's calls change under that same lock. The callbacks run inside render(), so
// a call that takes the lock waits for a callback in progress to return.
class WorldRenderer {
  public:
    WorldRenderer(const RoomSpec& room, ObjectTable& objects, IOCallbacks& callbacks,
                  SystemSound& systemSound, PlayQueue& plays, WorldCaptures& captures);

    // Renders the buffer starting at world frame `t`.
    void render(std::int64_t t);
    void setTapDelivery(TapDelivery d) { tapDelivery_ = d; }

  private:
    void renderClients(std::int64_t t);
    void renderTappedSources();
    void renderDefaultOutput();
    void renderCallbacks(std::int64_t t);
    void runCallback(IOProc& proc, SimObject& device, std::uint64_t hostNs);
    void fillInputs(IOProc& proc, const SimObject& device, const StreamLayout& layout,
                    const std::vector<SimObject*>& members);
    void playOutputs(const IOProc& proc, const StreamLayout& layout,
                     const std::vector<SimObject*>& members);
    void renderRoom(std::int64_t t);

    const int frames_;
    const double rate_;
    ObjectTable& objects_;
    IOCallbacks& callbacks_;
    SystemSound& systemSound_;
    PlayQueue& plays_;
    WorldCaptures& captures_;
    TapDelivery tapDelivery_ = TapDelivery::normal;

    // This buffer's sound: the music and the player (stereo), what the default output plays,
    // and the listening position now and one buffer ago (mono).
    std::vector<float> musicBuf_, playerBuf_, normalMix_, listening_, prevListening_;
};

}  // namespace housetone::sim
