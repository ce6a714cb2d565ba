#pragma once

#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace housetone::testsupport {

// The bytes of a file; empty when it cannot be read.
inline std::string readText(const std::filesystem::path& file) {
    return {std::istreambuf_iterator<char>(std::ifstream(file, std::ios::binary).rdbuf()), {}};
}

// The names in a folder, sorted.
inline std::vector<std::string> entriesOf(const std::filesystem::path& folder) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        out.push_back(e.path().filename());
    std::sort(out.begin(), out.end());
    return out;
}

// What a shell command writes to its standard output; its exit status in `status` when given.
inline std::string commandOutput(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* f = popen(command.c_str(), "r");
    char chunk[4096];
    for (std::size_t n; f && (n = fread(chunk, 1, sizeof chunk, f)) > 0;)
        out.append(chunk, n);
    const int st = f ? pclose(f) : -1;
    if (status) *status = st;
    return out;
}

}  // namespace housetone::testsupport
