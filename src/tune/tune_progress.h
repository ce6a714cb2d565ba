#pragma once

namespace housetone {

// Where a run stands, for a determinate progress indicator: the stage of the current pass and
// step `step` of its `steps` (pair 2 of 3, all together 1 of 2), in pass `pass` of `passes`.
struct TuneProgress {
    enum class Stage { microphone, pairs, triple, together, fireCheck };
    Stage stage = Stage::microphone;
    int step = 0;   // 1-based within the stage; 0 while the stage has not begun a step
    int steps = 0;  // the stage's step count
    int pass = 0;   // 1-based; 0 during the microphone check, before the first pass
    int passes = 0;

    // The run done so far, 0…1: the passes before this one, plus this pass's share of the
    // steps before this one. A pass is pairs + triple + two all-together + two fire checks.
    // speakerCount: the speakers in the run, which fixes the number of steps per pass.
    double fraction(int speakerCount) const;

    bool operator==(const TuneProgress&) const = default;
};

// "pairs", "triple", "all together", "fire check", "microphone".
const char* stageName(TuneProgress::Stage stage);

}  // namespace housetone
