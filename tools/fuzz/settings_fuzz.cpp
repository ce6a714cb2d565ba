// libFuzzer target: settings file text. A record that decodes must encode again (unless it holds
// a value JSON cannot carry) and decode back to itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/settings_store.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace housetone;
    const auto config = decodeConfig(std::string(reinterpret_cast<const char*>(data), size));
    if (!config) return 0;
    const auto text = encodeConfig(*config);
    if (!text) return 0;
    const auto again = decodeConfig(*text);
    if (!again || !(*again == *config)) std::abort();
    return 0;
}
