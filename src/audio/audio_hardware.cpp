#include "audio/audio_hardware.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <random>

namespace housetone {

BufferListStorage::BufferListStorage(std::uint32_t count) {
    resize(count);
}

void BufferListStorage::resize(std::uint32_t count) {
    const std::size_t bytes = AudioBufferList::bytesFor(count);
    words_.assign((bytes + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t), 0);
    list()->mNumberBuffers = count;
}

namespace {
nlohmann::json recordsToJson(const std::vector<SubdeviceRecord>& records) {
    auto arr = nlohmann::json::array();
    for (const auto& r : records)
        arr.push_back({{"uid", r.uid}, {"drift", r.drift}});
    return arr;
}
}  // namespace

nlohmann::json AggregateDescription::toDictionary() const {
    nlohmann::json d = {{"name", name},         {"uid", uid},
                        {"private", isPrivate}, {"stacked", stacked},
                        {"master", master},     {"subdevices", recordsToJson(subdevices)}};
    if (taps) d["taps"] = recordsToJson(*taps);
    if (tapAutoStart) d["tapautostart"] = *tapAutoStart;
    return d;
}

std::string makeUuidString() {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    std::uint8_t b[16];
    for (int i = 0; i < 16; i += 8) {
        const std::uint64_t v = rng();
        for (int k = 0; k < 8; ++k)
            b[i + k] = static_cast<std::uint8_t>(v >> (8 * k));
    }
    b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
    char s[37];
    std::snprintf(s, sizeof s,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return s;
}

}  // namespace housetone
