#pragma once

// How far a running tune has come, in words, for the window's progress bar and the tray menu.

#include <QString>

#include "tune/tune_progress.h"

namespace housetone::ui {

// "Pass 1 of 3 · pairs 2 of 3", or "Checking the microphone" before the first pass.
QString progressText(const TuneProgress& where);
// The same in a few characters for a menu line: "1/3 · pairs 2/3", or "mic check".
QString progressShortText(const TuneProgress& where);

}  // namespace housetone::ui
