// The backend's tests, and the roles their own processes take: the backend starts this same
// executable as its default-output keeper, and a test starts it to hold aligned mode's tap as a
// program would, until it is killed.
#include <gtest/gtest.h>

#include <string_view>

#include "audio/pipewire/pw_default_keeper.h"
#include "pipewire_room.h"

int main(int argc, char** argv) {
    if (argc == 2 && std::string_view(argv[1]) == housetone::pw::keeperOption)
        return housetone::pw::runDefaultKeeper(3);
    if (argc == 3 && std::string_view(argv[1]) == housetone::testsupport::holdTapOption)
        return housetone::testsupport::holdAlignedTap(argv[2]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
