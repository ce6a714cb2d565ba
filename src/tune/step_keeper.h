#pragma once
// TEMPORARY interface copy for compiling; replaced by the keeper branch.
#include <cstddef>
#include <string>
#include <vector>
namespace housetone {
class StepKeeper {
  public:
    struct Options {
        double rate = 48000;
        double windowSeconds = 3;
        double reachMs = 3500;
        double toleranceMs = 2;
    };
    StepKeeper(Options, std::vector<std::string> uids, std::vector<double> delaysMs);
    void setDelays(std::vector<double> delaysMs);
    void suspect(const std::string& uid);
    void add(const float* ref, const float* mic, std::size_t frames);
    struct Request { std::string uid; double deltaMs; bool correction; };
    std::vector<Request> takeRequests();
    struct Verdict {
        enum class State { cannotTell, inStep, moved, checking } state = State::cannotTell;
        double errorMs = 0;
        double atSeconds = -1;
        bool corrected = false;
    };
    const std::vector<Verdict>& verdicts() const;
    struct Check { double atSeconds; std::string estimates; std::string action; };
    std::vector<Check> takeChecks();
    double seconds() const;
};
}
