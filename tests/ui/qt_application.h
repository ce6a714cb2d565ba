#pragma once

#include <QApplication>

namespace housetone::ui {

// One QApplication for the whole test program, made on first use by whichever suite needs it.
inline void ensureApplication() {
    if (QApplication::instance()) return;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "housetone-ui-tests";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
}

}  // namespace housetone::ui
