// housetone-screenshots DIR [--aligned-only NAME] [program options]: runs the program with those
// options and drives it through the scenes the documentation shows, saving each into DIR
// (scripts/screenshots.sh); with --aligned-only, only the aligned window, as NAME.
#include <cstdio>
#include <memory>
#include <string_view>
#include <vector>

#include "screenshot_tour.h"
#include "ui/vuzededudoz/program.h"

int main(int argc, char** argv) {
    using namespace housetone::ui;
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: housetone-screenshots DIR [--aligned-only NAME] [program options]\n");
        return 2;
    }
    const QString directory = QString::fromLocal8Bit(argv[1]);
    int first = 2;
    QString alignedOnly;
    if (argc >= 4 && std::string_view(argv[2]) == "--aligned-only") {
        alignedOnly = QString::fromLocal8Bit(argv[3]);
        first = 4;
    }
    // The program sees its own name and the options after the tour's own.
    std::vector<char*> args{argv[0]};
    args.insert(args.end(), argv + first, argv + argc);
    args.push_back(nullptr);
    int count = static_cast<int>(args.size()) - 1;
    std::unique_ptr<ScreenshotTour> tour;
    const int status = runProgram(count, args.data(), [&](AppDelegate& app) {
        tour = std::make_unique<ScreenshotTour>(app, directory, alignedOnly);
        tour->start();
    });
    return status;
}
