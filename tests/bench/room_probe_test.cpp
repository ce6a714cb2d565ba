#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "sine_analysis.h"

namespace housetone::room {
namespace {

constexpr double rate = 48000, hz = 1000;

// `frames` of a sine after `lead` frames of silence, starting at `phase`.
std::vector<float> sine(std::size_t lead, std::size_t frames, double amplitude, double phase = 0) {
    std::vector<float> x(lead + frames, 0.f);
    for (std::size_t n = 0; n < frames; ++n)
        x[lead + n] = static_cast<float>(
            amplitude *
            std::sin(2 * std::numbers::pi * hz * static_cast<double>(n) / rate + phase));
    return x;
}

// The same sound `lag` frames later, at another level.
std::vector<float> delayed(const std::vector<float>& x, std::size_t lag, double gain) {
    std::vector<float> y(x.size() + lag, 0.f);
    for (std::size_t n = 0; n < x.size(); ++n)
        y[n + lag] = static_cast<float>(gain * x[n]);
    return y;
}

SineOptions options() {
    SineOptions o;
    o.rate = rate;
    o.frequency = hz;
    return o;
}

// A client's sine with a hole of its own, heard by a speaker later and far quieter that adds a
// skip and a repeated cycle of the graph; skips of the whole graph; a clean sine and a silent
// speaker beside them.
TEST(RoomProbeAnalysis, FindsBreaksLagAndWhichBreaksThePathAdded) {
    const SineOptions o = options();

    // A steady sine at any level and phase, with silence before and after, has no break: its own
    // start and end are not breaks.
    for (const double phase : {0.0, 1.0, 2.5})
        for (const double amplitude : {0.9, 0.01}) {
            std::vector<float> x = sine(3000, 24000, amplitude, phase);
            x.resize(x.size() + 2000, 0.f);
            const SineChannel c = analyseSine(x, o);
            EXPECT_TRUE(c.sound);
            EXPECT_TRUE(c.breaks.empty()) << "phase " << phase << " amplitude " << amplitude;
            EXPECT_NEAR(c.amplitude, amplitude, amplitude * 0.01);
            EXPECT_LE(c.first, 3001u);
            EXPECT_GE(c.last, 3000u + 24000 - 2);
        }

    // The client's output: a hole of 20 ms (longer than the merge window) is one break, also when
    // it is not digital silence but a dithered one.
    std::vector<float> client = sine(1000, 96000, 0.5);
    for (std::size_t n = 20000; n < 20960; ++n)
        client[n] = n % 2 ? 0.005f : -0.005f;
    const std::size_t lag = 2400;
    std::vector<float> speaker = delayed(client, lag, 0.02);
    // The path drops 37 frames (a phase jump) and repeats one graph cycle of 1024 frames later.
    const std::size_t skipAt = 60000 + lag, repeatAt = 80000 + lag;
    speaker.erase(speaker.begin() + static_cast<long>(skipAt),
                  speaker.begin() + static_cast<long>(skipAt + 37));
    std::vector<float> cycle(speaker.begin() + static_cast<long>(repeatAt - 1024),
                             speaker.begin() + static_cast<long>(repeatAt));
    speaker.insert(speaker.begin() + static_cast<long>(repeatAt), cycle.begin(), cycle.end());

    const SineChannel c = analyseSine(client, o), s = analyseSine(speaker, o);
    ASSERT_EQ(c.breaks.size(), 1u);
    EXPECT_NEAR(static_cast<double>(c.breaks[0]), 20000, 2);
    ASSERT_EQ(s.breaks.size(), 3u);
    EXPECT_NEAR(static_cast<double>(s.breaks[0]), 20000 + lag, 2);
    EXPECT_NEAR(static_cast<double>(s.breaks[1]), skipAt, 2);
    EXPECT_NEAR(static_cast<double>(s.breaks[2]), repeatAt, 2);

    const auto found = onsetLag(c, s, {});
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(*found, static_cast<long>(lag));
    const std::size_t quantum = 1024;
    const auto tolerance = static_cast<std::size_t>(o.mergeMs * rate / 1000);
    // The client's own hole arrives with the sound; the skip and the repeat are the path's.
    const auto sources = attributeBreaks(s.breaks, c.breaks, *found, {}, quantum, tolerance);
    EXPECT_EQ(sources.reference, 1u);
    EXPECT_EQ(sources.graph, 0u);
    EXPECT_EQ(sources.added, 2u);
    // A break is the client's when it arrives within the tolerance of where the lag puts it, or
    // up to a cycle later; beyond that it is the path's.
    const auto tol = static_cast<long>(tolerance), cyc = static_cast<long>(quantum);
    for (const long off : {-5L, 5L, tol, -cyc - tol + 1})
        EXPECT_EQ(attributeBreaks(s.breaks, c.breaks, *found + off, {}, quantum, tolerance).added,
                  2u)
            << off;
    for (const long off : {tol + 5, -cyc - tol - 5})
        EXPECT_EQ(attributeBreaks(s.breaks, c.breaks, *found + off, {}, quantum, tolerance).added,
                  3u)
            << off;

    // A skip of the whole graph breaks every channel at once, whatever its lag, and a callback
    // may answer it a cycle later: the repeat, seen within a cycle after a skip, is the graph's;
    // a skip elsewhere explains nothing.
    const std::vector<GraphJump> near[] = {{{repeatAt, 512}, {90000 + lag, 512}},
                                           {{repeatAt - quantum, 512}},
                                           {{repeatAt + tolerance / 2, 1}}};
    for (const auto& jumps : near) {
        const auto atSkip = attributeBreaks(s.breaks, c.breaks, *found, jumps, quantum, tolerance);
        EXPECT_EQ(atSkip.reference, 1u) << jumps.front().frame;
        EXPECT_EQ(atSkip.graph, 1u) << jumps.front().frame;
        EXPECT_EQ(atSkip.added, 1u) << jumps.front().frame;
    }
    for (const std::size_t skipAt : {repeatAt - quantum - 2 * tolerance, repeatAt + 2 * tolerance})
        EXPECT_EQ(
            attributeBreaks(s.breaks, c.breaks, *found, {{skipAt, 512}}, quantum, tolerance).added,
            2u)
            << skipAt;

    // The graph skipping a cycle between the client's sound and the speaker's: the recording runs
    // on from cycle to cycle, and the lag is still the one on the graph's clock.
    std::vector<float> early = sine(1000, 48000, 0.5), late = delayed(early, lag, 0.3);
    for (auto* x : {&early, &late})
        x->erase(x->begin() + 1500, x->begin() + 1500 + static_cast<long>(quantum));
    const std::vector<GraphJump> skipped{{1500, static_cast<long>(quantum)}};
    const SineChannel e = analyseSine(early, o), l = analyseSine(late, o);
    EXPECT_EQ(onsetLag(e, l, skipped), static_cast<long>(lag));
    // The client breaks there too, and that break is the graph's.
    ASSERT_EQ(e.breaks.size(), 1u);
    EXPECT_EQ(attributeBreaks(e.breaks, {}, 0, skipped, quantum, tolerance).graph, 1u);
    // A client's break from before a skip (longer than a cycle) reaches the speaker after it, a
    // skip sooner on the recording; one from after a skip reaches it a lag later on both clocks:
    // both the client's.
    EXPECT_EQ(attributeBreaks({8000 + lag - 2000, 20000 + lag}, {8000, 20000},
                              static_cast<long>(lag), {{8100, 2000}}, quantum, tolerance)
                  .reference,
              2u);

    // A speaker heard earlier than the reference still has its lag.
    EXPECT_EQ(onsetLag(s, c, {}), -static_cast<long>(lag));

    // A speaker that never played has no lag and no sound to break.
    const std::vector<float> silent(client.size(), 0.f);
    const SineChannel q = analyseSine(silent, o);
    EXPECT_FALSE(q.sound);
    EXPECT_TRUE(q.breaks.empty());
    EXPECT_FALSE(onsetLag(c, q, {}).has_value());
}

}  // namespace
}  // namespace housetone::room
