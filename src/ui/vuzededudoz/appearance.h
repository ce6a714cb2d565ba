#pragma once

// The light and dark appearances: Fusion with a palette of our own in each, chosen so that text
// reads at 4.5:1 or better against its background (disabled text included, since a disabled
// button still says what it would do) and controls stand out at 3:1 or better.

#include <QPalette>

#include "ui/vuzededudoz/launch_options.h"

namespace housetone::ui {

QPalette lightPalette();
QPalette darkPalette();

// Fusion with the appearance's palette; `system` leaves the desktop's style and colors alone.
void applyAppearance(Appearance appearance);

}  // namespace housetone::ui
