// Sound files as the audio layer writes and converts them.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "audio/sound_file.h"

namespace housetone {
namespace {

TEST(SoundFile, SixteenBitPcmEncodesToAPlainWavThatDecodesToTheSameSamples) {
    const std::vector<std::int16_t> pcm = {0, 16384, -16384, 32767, -32768, 1};
    const auto bytes = encodeWav16(pcm, 22050, 2);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(bytes->size(), 44 + 2 * pcm.size());  // the canonical header, then the samples
    const auto wav = decodeWav(*bytes);
    ASSERT_TRUE(wav);
    EXPECT_EQ(wav->rate, 22050);
    EXPECT_EQ(wav->channels, 2);
    ASSERT_EQ(wav->samples.size(), pcm.size());
    for (std::size_t i = 0; i < pcm.size(); ++i)
        EXPECT_EQ(wav->samples[i], static_cast<float>(pcm[i]) / 32768.0f) << i;
    EXPECT_FALSE(encodeWav16(pcm, 0, 2));
    EXPECT_FALSE(encodeWav16(pcm, 48000, 0));
}

TEST(SoundFile, StereoAtARateInterpolatesBetweenSamplesAndGivesAMonoFileBothSides) {
    const WavData mono{.rate = 24000, .channels = 1, .samples = {0.f, 1.f, 0.5f}};
    const auto up = stereoAt(mono, 48000);
    ASSERT_TRUE(up);
    EXPECT_EQ(up->rate, 48000);
    EXPECT_EQ(up->channels, 2);
    EXPECT_EQ(up->samples,
              (std::vector<float>{0, 0, 0.5f, 0.5f, 1, 1, 0.75f, 0.75f, 0.5f, 0.5f, 0.5f, 0.5f}));
    const WavData four{.rate = 48000, .channels = 4, .samples = {1, 2, 3, 4, 5, 6, 7, 8}};
    const auto down = stereoAt(four, 24000);
    ASSERT_TRUE(down);
    EXPECT_EQ(down->samples, (std::vector<float>{1, 2}));  // the first two channels, every other
    EXPECT_FALSE(stereoAt(WavData{.rate = 48000, .channels = 1}, 48000));
}

}  // namespace
}  // namespace housetone
