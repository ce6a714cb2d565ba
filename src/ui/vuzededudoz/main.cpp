// Program entry.
#include "ui/vuzededudoz/backend.h"
#include "ui/vuzededudoz/program.h"

int main(int argc, char** argv) {
    // A helper does its one job before anything of the program (Qt, settings, the single
    // instance) is touched.
    if (const auto helper = housetone::ui::runBackendHelper(argc, argv)) return *helper;
    return housetone::ui::runProgram(argc, argv);
}
