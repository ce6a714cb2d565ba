#include "audio/sim/sim_player.h"

#include <algorithm>

#include "audio/sound_file.h"

namespace housetone::sim {

void PlayQueue::playToEnd(std::vector<float> stereo) {
    auto item = std::make_shared<Item>();
    item->stereo = std::move(stereo);
    std::unique_lock lock(mutex_);
    plays_.push_back(item);
    ended_.wait(lock, [&] { return item->finished; });
}

void PlayQueue::stopAll() {
    {
        std::lock_guard lock(mutex_);
        for (auto& p : plays_)
            p->finished = true;
        plays_.clear();
    }
    ended_.notify_all();
}

void PlayQueue::mixInto(float* stereo, std::size_t frames) {
    bool anyEnded = false;
    {
        std::lock_guard lock(mutex_);
        for (auto& p : plays_) {
            for (std::size_t f = 0; f < frames && p->pos < p->stereo.size() / 2; ++f, ++p->pos) {
                stereo[2 * f] += p->stereo[2 * p->pos];
                stereo[2 * f + 1] += p->stereo[2 * p->pos + 1];
            }
            if (p->pos >= p->stereo.size() / 2) p->finished = anyEnded = true;
        }
        std::erase_if(plays_, [](const auto& p) { return p->finished; });
    }
    if (anyEnded) ended_.notify_all();
}

bool SimPlayer::play(const std::string& path) {
    const auto wav = readWav(path);
    auto stereo = wav ? stereoAt(*wav, rate_) : std::nullopt;
    if (!stereo) return false;
    queue_.playToEnd(std::move(stereo->samples));
    return true;
}

}  // namespace housetone::sim
