#include "audio/pipewire/pw_names.h"

#include <spa/utils/json.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace housetone::pw {

namespace {

// A JSON string token as its bytes, through PipeWire's reader.
std::string stringToken(const char* token, int length) {
    std::vector<char> out(static_cast<std::size_t>(length) + 1);
    spa_json_parse_stringn(token, length, out.data(), length + 1);
    return out.data();
}

}  // namespace

std::string nodeNameIn(std::string_view value) {
    spa_json it, object;
    spa_json_init(&it, value.data(), value.size());
    if (spa_json_enter_object(&it, &object) <= 0) return {};
    for (;;) {
        const char* key;
        int length = spa_json_next(&object, &key);
        if (length <= 0) return {};
        const bool isName = stringToken(key, length) == "name";
        const char* member;
        length = spa_json_next(&object, &member);
        if (length <= 0) return {};
        if (isName) return spa_json_is_string(member, length) ? stringToken(member, length) : "";
    }
}

std::optional<std::string> defaultValueFor(std::string_view nodeName) {
    std::string value = "{\"name\":\"";
    for (const char c : nodeName) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            value += '\\';
            value += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04x", byte);
            value += code;
        } else {
            value += c;
        }
    }
    value += "\"}";
    if (nodeNameIn(value) != nodeName) return std::nullopt;
    return value;
}

}  // namespace housetone::pw
