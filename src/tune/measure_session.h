#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "audio/audio_hardware.h"
#include "core/dev.h"
#include "tune/latency_measure.h"
#include "tune/sync_measure.h"

namespace housetone {

class MicCapture;

// The microphone capture and the measurement player of one tune, each made once and kept from the
// first recording to the last: every node the tuner adds to or removes from the audio graph
// reconfigures it, and a network speaker's sender may lose a cycle (its path steps by 21 ms)
// each time. A recording only arms the capture and hands the player its slots. The microphone
// listens only while the session lives; `end` (or destruction) stops both and drops what they
// held. A capture that recorded nothing, or a player that never finished, is let go and made
// again for the next recording, so a device that vanished fails that recording and never hangs
// the next. The tuner's queue only.
class MeasureSession {
  public:
    // speakers: every speaker the session's recordings may play, for one player over all of them;
    // empty to open the player over the first recording's own speakers. The longest playback
    // expected and the furthest reach size the capture, so that it is made once big enough.
    MeasureSession(AudioHardware& hw, std::optional<AudioObjectID> micDevice,
                   std::vector<Dev> speakers = {}, double longestPlaySeconds = 0,
                   double reachMs = nearReachMs);
    ~MeasureSession();
    MeasureSession(const MeasureSession&) = delete;
    MeasureSession& operator=(const MeasureSession&) = delete;

    // Records `seconds` of the room with nothing played. nullopt when the capture cannot start.
    std::optional<Recording> listen(double seconds);
    // As the free recordPlayback (latency_measure.h), with this session's capture and player. The
    // recording starts where the player was asked to start.
    std::optional<Recording> recordPlayback(double playSeconds,
                                            const std::function<bool(SyncMeasure&)>& startPlayer,
                                            double reachMs = nearReachMs);
    // Stops the capture and the player and removes them. Harmless more than once.
    void end();

    AudioHardware& hw() { return hw_; }

  private:
    // A started capture of at least `seconds`, made when there is none or it is too short.
    MicCapture* capture(double seconds);
    // The armed recording as it stands; the capture stops storing.
    Recording take(MicCapture& mic);

    AudioHardware& hw_;
    const std::optional<AudioObjectID> micDevice_;
    const std::vector<Dev> speakers_;
    const double seconds_;  // the capture's length at least
    std::unique_ptr<MicCapture> capture_;
    SyncMeasure player_;
};

}  // namespace housetone
