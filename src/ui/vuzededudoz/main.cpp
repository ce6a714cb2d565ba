// Until the application window exists, the program lists the devices of the built-in simulated
// room, in the program's own sort orders.
#include <cstdio>

#include "audio/device_access.h"
#include "audio/sim/sim_audio_system.h"

using namespace housetone;

namespace {
void printList(const char* title, const std::vector<Dev>& devs, sim::SimAudioSystem& hw,
               AudioScope sc) {
    std::printf("%s\n", title);
    for (const Dev& d : devs) {
        std::printf("  %-28s %-28s %-12s %d ch\n", d.name.c_str(), d.uid.c_str(),
                    d.transportLabel().c_str(), channelCount(hw, d.id, sc));
    }
}
}  // namespace

int main() {
    sim::SimAudioSystem hw(sim::defaultRoom(), {.speed = 1, .startWorld = false});
    printList("Outputs:", outputDevices(hw), hw, scope::output);
    printList("Inputs:", inputDevices(hw), hw, scope::input);
    return 0;
}
