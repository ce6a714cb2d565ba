#include "tune/tune_progress.h"

#include <algorithm>

namespace housetone {

const char* stageName(TuneProgress::Stage stage) {
    switch (stage) {
        case TuneProgress::Stage::microphone:
            return "microphone";
        case TuneProgress::Stage::pairs:
            return "pairs";
        case TuneProgress::Stage::triple:
            return "triple";
        case TuneProgress::Stage::together:
            return "all together";
        case TuneProgress::Stage::fireCheck:
            return "fire check";
    }
    return "";
}

double TuneProgress::fraction(int speakerCount) const {
    if (pass < 1 || passes < 1) return 0;
    // Steps of one pass, in order: the pairs, the triple (three speakers or more), the two
    // all-together recordings, the two fire checks.
    const int pairs = std::max(1, speakerCount - 1);
    const int triples = speakerCount > 2 ? 1 : 0;
    const int perPass = pairs + triples + 2 + 2;
    int before = 0;  // steps of this pass finished before the current one
    switch (stage) {
        case Stage::microphone:
            break;
        case Stage::pairs:
            before = step - 1;
            break;
        case Stage::triple:
            before = pairs + step - 1;
            break;
        case Stage::together:
            before = pairs + triples + step - 1;
            break;
        case Stage::fireCheck:
            before = pairs + triples + 2 + step - 1;
            break;
    }
    const double within = std::clamp(double(before) / perPass, 0.0, 1.0);
    return std::clamp((pass - 1 + within) / passes, 0.0, 1.0);
}

}  // namespace housetone
