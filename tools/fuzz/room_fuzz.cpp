// libFuzzer target: room file text. A room is either accepted or refused with a RoomError whose
// message is one line; anything else (a crash, another exception, a room the simulator could
// not hold) is a fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "audio/sim/room.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace housetone::sim;
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const RoomSpec room = parseRoom(text, "fuzz.json");
        if (roomMemoryBytes(room) > (std::uint64_t{512} << 20)) std::abort();
    } catch (const RoomError& e) {
        if (std::string(e.what()).find('\n') != std::string::npos) std::abort();
    }
    return 0;
}
