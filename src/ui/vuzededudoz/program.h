#pragma once

#include <functional>

namespace housetone::ui {

class AppDelegate;

// The whole program run with this command line; its exit status. `launched`, when set, gets the
// delegate once it has finished launching (a tool that drives the program, such as the screenshot
// tour).
int runProgram(int argc, char** argv, const std::function<void(AppDelegate&)>& launched = {});

}  // namespace housetone::ui
