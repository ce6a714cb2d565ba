#pragma once

#include <atomic>
#include <string>

#include "audio/pipewire/pw_graph_connection.h"
#include "audio/sound_file.h"
#include "platform/player.h"

namespace housetone::pw {

// Plays a sound file as any program does: a stream to the default output, so while the system
// tap runs the engine hears it like everything else. The stream is not realtime: its events run
// on the loop thread, which wakes the waiting play().
class PipeWirePlayer final : public Player {
  public:
    explicit PipeWirePlayer(GraphConnection& connection) : connection_(connection) {}
    bool play(const std::string& path) override;
    void terminate() override;

  private:
    // Plays decoded samples; blocks until their end, terminate() or the time they should take
    // has passed.
    bool playSamples(const WavData& wav);

    GraphConnection& connection_;
    std::atomic<bool> terminate_{false};
};

}  // namespace housetone::pw
