// housetone-screenshots DIR [program options]: runs the program with those options and drives it
// through the scenes the documentation shows, saving each into DIR (scripts/screenshots.sh).
#include <cstdio>
#include <memory>
#include <vector>

#include "screenshot_tour.h"
#include "ui/vuzededudoz/program.h"

int main(int argc, char** argv) {
    using namespace housetone::ui;
    if (argc < 2) {
        std::fprintf(stderr, "usage: housetone-screenshots DIR [program options]\n");
        return 2;
    }
    const QString directory = QString::fromLocal8Bit(argv[1]);
    // The program sees its own name and the options after DIR.
    std::vector<char*> args{argv[0]};
    args.insert(args.end(), argv + 2, argv + argc);
    args.push_back(nullptr);
    int count = argc - 1;
    std::unique_ptr<ScreenshotTour> tour;
    const int status = runProgram(count, args.data(), [&](AppDelegate& app) {
        tour = std::make_unique<ScreenshotTour>(app, directory);
        tour->start();
    });
    return status;
}
