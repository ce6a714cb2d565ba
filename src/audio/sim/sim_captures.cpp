#include "audio/sim/sim_captures.h"

namespace housetone::sim {

void WorldCaptures::startListening(std::int64_t start, std::size_t frames) {
    listen_.clear();
    listen_.reserve(frames);
    listenWanted_ = frames;
    listenStart_ = start;
}

std::pair<std::int64_t, std::vector<float>> WorldCaptures::listening() const {
    return {listenStart_, listen_};
}

void WorldCaptures::startSystemMix(std::int64_t start, std::size_t frames) {
    mix_.clear();
    mix_.reserve(frames * 2);
    mixWanted_ = frames * 2;
    mixStart_ = start;
}

std::pair<std::int64_t, std::vector<float>> WorldCaptures::systemMix() const {
    return {mixStart_, mix_};
}

void WorldCaptures::setRecorder(std::unique_ptr<WavWriter> recorder) {
    recorder_ = std::move(recorder);
}

std::unique_ptr<WavWriter> WorldCaptures::takeRecorder() {
    return std::move(recorder_);
}

// Both captures reserve what they were asked for, so the hardware thread does not allocate here.
void WorldCaptures::feedSystemMix(const float* music, const float* player, std::size_t frames) {
    if (mix_.size() < mixWanted_) {
        for (std::size_t i = 0; i < frames * 2 && mix_.size() < mixWanted_; ++i)
            mix_.push_back(music[i] + player[i]);
    }
}

void WorldCaptures::feedListening(const float* listening, std::size_t frames) {
    if (listen_.size() < listenWanted_) {
        for (std::size_t f = 0; f < frames && listen_.size() < listenWanted_; ++f)
            listen_.push_back(listening[f]);
    }
    if (recorder_) recorder_->write(listening, frames);
}

}  // namespace housetone::sim
