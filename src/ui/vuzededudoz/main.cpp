// Program entry.
#include "ui/vuzededudoz/program.h"

int main(int argc, char** argv) {
    return housetone::ui::runProgram(argc, argv);
}
