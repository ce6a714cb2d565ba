#include "core/offsets.h"

#include <algorithm>
#include <cmath>

namespace housetone {

double Offsets::of(const std::string& uid) const {
    const auto it = ms_.find(uid);
    return it == ms_.end() ? 0.0 : it->second;
}

bool Offsets::set(const std::string& uid, double ms) {
    if (!std::isfinite(ms)) return false;
    ms_[uid] = std::clamp(ms, -limitMs, limitMs);
    return true;
}

bool Offsets::step(const std::string& uid, double deltaMs) {
    if (!std::isfinite(deltaMs)) return false;
    ms_[uid] = std::clamp(of(uid) + deltaMs, 0.0, limitMs);
    return true;
}

bool Offsets::clampAll() {
    bool changed = false;
    for (auto& [uid, ms] : ms_) {
        const double v = std::clamp(ms, -limitMs, limitMs);
        if (v != ms) {
            ms = v;
            changed = true;
        }
    }
    return changed;
}

Offsets::Shift Offsets::shiftAll(const std::vector<std::string>& uids, double deltaMs) {
    if (!std::isfinite(deltaMs)) return {};
    Shift shift{.moved = true};
    for (const std::string& uid : uids) {
        double v = of(uid) + deltaMs;
        if (v < 0) {
            shift.reachedZero = true;
            v = 0;
        }
        ms_[uid] = std::min(v, limitMs);
    }
    return shift;
}

double Offsets::rebase(const std::vector<std::string>& listed) {
    if (ms_.empty()) return 0;
    const double lowest =
        std::min_element(ms_.begin(), ms_.end(), [](const auto& a, const auto& b) {
            return a.second < b.second;
        })->second;
    if (!(lowest < 0)) return 0;
    for (const std::string& uid : listed)
        ms_.try_emplace(uid, 0.0);
    for (auto& [uid, ms] : ms_)
        ms -= lowest;
    return -lowest;
}

double Offsets::heldBackMs(double ms, double maxMs) {
    if (ms >= maxMs) return maxMs;
    return ms > 0 ? ms : 0.0;  // NaN fails both tests
}

std::vector<double> Offsets::played(const std::vector<Dev>& targets, double maxMs) const {
    std::vector<double> out;
    out.reserve(targets.size());
    for (const Dev& t : targets)
        out.push_back(targets.size() == 1 ? 0.0 : heldBackMs(of(t.uid), maxMs));
    return out;
}

}  // namespace housetone
