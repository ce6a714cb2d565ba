#pragma once

#include <QString>

namespace housetone::ui {

// The directory holding the program's pictures ("hero-light.png", "hero-dark.png",
// "AppIcon.svg", "AppIcon.png"). Looked up once, in this order: $HOUSETONE_RESOURCES, "resources"
// next to the executable (the build tree), "../share/housetone" from the executable (an install),
// then the build tree this library was compiled for (tests run from elsewhere). The first that
// holds "AppIcon.png" wins; when none does, the install location, so a message about a missing
// file names the place a packager expects.
QString resourceDirectory();

// resourceDirectory() + "/" + name.
QString resourcePath(const QString& name);

}  // namespace housetone::ui
