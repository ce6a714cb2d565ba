#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace housetone {

// Where sound played from a reference arrives in a microphone recording, read from whatever the
// reference carries (program material, no test signal). Both signals run on one clock; the
// microphone is analysed a window at a time against the reference's history.
//
// Each window gives a Wiener-weighted cross-correlation over a range of lags: the cross-spectrum
// divided by the reference's smoothed power spectrum (regularised where the material has little
// energy), so a speaker's path shows as a sharp peak whose height is its gain at the microphone,
// whatever the material's colour. What the material repeats of itself (a beat, a held chord)
// would still show as peaks at other lags; the window's own prediction of that pattern (the same
// weighting applied to the reference aligned at the strongest arrival) is subtracted peak by peak,
// so the peaks reported are ones that pattern does not explain.
//
// Not realtime: analysing allocates. Feeding copies the decimated audio into growing buffers.
class ArrivalWatch {
  public:
    ArrivalWatch(double rate, double windowSeconds);

    // The signals, sample for sample (mic[i] recorded when ref[i] was played into the chain).
    void add(const float* ref, const float* mic, std::size_t frames);
    // Drop the window being gathered; the next one starts after `skipSeconds` more audio (what
    // plays while a change settles). The reference's history is kept.
    void restart(double skipSeconds);
    // A whole window of microphone audio has been gathered since the last analysis or restart.
    bool ready() const;

    struct Peak {
        double lagMs = 0;     // arrival, ms after the reference
        double gain = 0;      // signed height, in units of the reference's level at the mic
        double snr = 0;       // |gain| over the floor
    };
    struct Reading {
        bool canTell = false;
        std::string doubt;            // why not, when it cannot
        double level = 0;             // RMS of the reference over the window
        double coverage = 0;          // share of the band the material carries (0–1)
        double selfSimilarity = 0;    // the material's largest echo of itself beyond the main
                                      // lobe, relative to the main lobe (0–1)
        double resolutionMs = 0;      // half-width of the main lobe: closer arrivals merge
        double floor = 0;             // robust RMS of what is left after the peaks
        std::vector<Peak> peaks;      // strongest first
        // The material's echo of itself, relative to the main lobe, at lags `offset` apart: the
        // largest magnitude within a sample of it. 1 within the main lobe.
        double echoAt(double offsetMs) const;

        double rate = 0;              // analysis rate, Hz
        std::vector<float> echo;      // |pattern| by offset in samples, centred at echoCentre
        std::size_t echoCentre = 0;
    };
    // Analyses the gathered window over arrivals [loMs, hiMs] (clamped to the history held) and
    // starts the next window. `anchorMs`: where the strongest arrival is expected (the group's
    // lag); without it, the strongest peak is taken.
    Reading analyse(double loMs, double hiMs, std::optional<double> anchorMs = std::nullopt);

    double analysisRate() const { return rate_ / static_cast<double>(factor_); }
    // Keep at least this much reference history (ms of lag beyond the window).
    void keepHistory(double ms);

  private:
    void push(std::vector<float>& out, std::vector<float>& tail, const float* x, std::size_t n);

    double rate_;
    int factor_;
    std::size_t window_;        // analysis samples per window
    std::vector<float> taps_;   // anti-alias low-pass ahead of the decimation (empty: none)
    std::vector<float> refTail_, micTail_;
    std::size_t phase_ = 0;     // input samples until the next output, within the factor
    std::vector<float> ref_;    // decimated reference; ref_[0] is sample refBase_
    std::size_t refBase_ = 0;
    std::vector<float> mic_;    // decimated microphone; mic_[0] is sample micBase_
    std::size_t micBase_ = 0;
    std::size_t count_ = 0;     // decimated samples received
    std::size_t start_ = 0;     // first sample of the window being gathered
    std::size_t history_ = 0;   // reference samples kept before the window
};

}  // namespace housetone
