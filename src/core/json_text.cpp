// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/json_text.h"

namespace housetone {

std::string describeJson(const nlohmann::json& v) {
    using nlohmann::json;
    switch (v.type()) {
        case json::value_t::string:
            return "a string";
        case json::value_t::boolean:
            return v.get<bool>() ? "true" : "false";
        case json::value_t::null:
            return "null";
        case json::value_t::array:
            return "an array";
        case json::value_t::object:
            return "an object";
        default:
            return v.dump();
    }
}

std::string jsonParseReason(const nlohmann::json::exception& e) {
    std::string reason = e.what();
    if (const auto end = reason.find("] "); reason.starts_with("[") && end != std::string::npos)
        reason.erase(0, end + 2);
    return reason;
}

}  // namespace housetone
