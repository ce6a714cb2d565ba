// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Words for JSON values and parse failures in the messages of the program's file readers, so the
// room file and the settings file explain a mistake the same way.

#include <nlohmann/json.hpp>
#include <string>

namespace housetone {

// The type of a JSON value in words, for "must be a number, not a string".
std::string describeJson(const nlohmann::json& v);

// The parser's complaint without the library's "[json.exception.parse_error.101] " tag, keeping
// its line and column.
std::string jsonParseReason(const nlohmann::json::exception& e);

// Parses `text`, or throws `Error` with "<what> \"<fileName>\": not valid JSON: <reason>".
template <typename Error>
nlohmann::json parseJsonOrThrow(const std::string& text, const std::string& what,
                                const std::string& fileName) {
    try {
        return nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& e) {
        throw Error(what + " \"" + fileName + "\": not valid JSON: " + jsonParseReason(e));
    }
}

}  // namespace housetone
