#include "core/printable.h"

#include <cstdint>
#include <cstdio>

namespace housetone {

namespace {

// One step through UTF-8: a well-formed sequence and its code point, or the longest start of
// one that cannot be completed (to become one U+FFFD, as Unicode recommends).
struct Step {
    std::size_t length;
    char32_t codePoint;
    bool wellFormed;
};

Step next(std::string_view s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned lead = byte(i);
    if (lead < 0x80) return {1, lead, true};
    // The second byte's range shuts out overlong forms, surrogates and code points past U+10FFFF.
    std::size_t trail;
    unsigned low = 0x80, high = 0xBF;
    char32_t cp;
    if (lead >= 0xC2 && lead <= 0xDF) {
        trail = 1;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trail = 2;
        cp = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trail = 3;
        cp = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return {1, 0, false};
    }
    for (std::size_t k = 1; k <= trail; ++k) {
        if (i + k >= s.size()) return {k, 0, false};
        const unsigned b = byte(i + k);
        if (b < low || b > high) return {k, 0, false};
        cp = (cp << 6) | (b & 0x3F);
        low = 0x80;
        high = 0xBF;
    }
    return {trail + 1, cp, true};
}

std::string escaped(std::string_view text, bool keepLineFeeds) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const Step step = next(text, i);
        const char32_t c = step.codePoint;
        if (!step.wellFormed) {
            out += "\xEF\xBF\xBD";
        } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
            if (c == '\n' && keepLineFeeds) {
                out += '\n';
            } else {
                char code[8];
                std::snprintf(code, sizeof code, "\\x%02x", static_cast<unsigned>(c));
                out += code;
            }
        } else {
            out.append(text.substr(i, step.length));
        }
        i += step.length;
    }
    return out;
}

}  // namespace

std::string printable(std::string_view text) {
    return escaped(text, false);
}

std::string printableLines(std::string_view text) {
    return escaped(text, true);
}

std::string printableUID(std::string_view raw) {
    std::string key = printable(raw);
    if (key == raw) return key;
    std::uint64_t hash = 0xcbf29ce484222325;  // FNV-1a
    for (const char c : raw)
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3;
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, "~%016llx", static_cast<unsigned long long>(hash));
    return key + suffix;
}

}  // namespace housetone
