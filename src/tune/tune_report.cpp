#include "tune/tune_report.h"

#include <optional>
#include <tuple>

#include "core/text.h"

namespace housetone {

PassSummary passSummary(const std::vector<Dev>& measured,
                        const std::map<std::string, double>& latency,
                        const std::map<std::string, double>& applied,
                        const std::vector<Dev>& speakers, const std::set<std::string>& explained) {
    PassSummary s;
    std::optional<double> slowestMs;
    std::vector<std::string> items;
    for (const Dev& d : measured) {
        const auto lat = latency.find(d.uid);
        if (lat != latency.end() && (!slowestMs || lat->second > *slowestMs)) {
            slowestMs = lat->second;
            s.slowest = d.name;
        }
        const auto off = applied.find(d.uid);
        if (off != applied.end())
            items.push_back(formatText("%s %.0f ms", d.name.c_str(), off->second));
    }
    s.appliedTxt = joined(items, ", ");
    for (const Dev& d : speakers)
        if (!latency.contains(d.uid) && !explained.contains(d.uid)) s.unmeasured.push_back(d.name);
    return s;
}

const TunePass& chooseBestPass(const std::vector<TunePass>& passes) {
    // Best first: a conclusive check; then every speaker at rest when last measured (a pass that
    // placed one still on its way checked where it passed through); then the least late; then
    // the smallest last step of a speaker still on its way (the nearest its rest); then the
    // earliest.
    const auto rank = [](const TunePass& p) {
        return std::tuple(p.check.conclusive, p.movedMs == 0,
                          p.check.conclusive ? -p.check.worstMs : 0.0, -p.movedMs);
    };
    const TunePass* best = &passes.front();
    for (std::size_t i = 1; i < passes.size(); ++i)
        if (rank(passes[i]) > rank(*best)) best = &passes[i];
    return *best;
}

std::string tuneReport(const std::vector<TunePass>& passes, const std::vector<std::string>& notes,
                       int last, TuneEnd end, bool bluetooth) {
    const TunePass& best = chooseBestPass(passes);
    const std::string checks = joined(best.check.lines, " ");
    std::vector<std::string> lines;
    lines.push_back("Slowest speaker: " + best.slowest + " — everyone else waits for it.");
    lines.push_back("Applied: " + best.appliedTxt + ".");
    if (!best.unmeasured.empty())
        lines.push_back("Unmeasured (left unchanged): " + joined(best.unmeasured, ", ") + ".");
    if (!best.notHeard.empty())
        lines.push_back("Not heard (left unchanged): " + joined(best.notHeard, ", ") + ".");
    if (!best.tooFar.empty())
        lines.push_back("Too far apart to measure (left unchanged): " + joined(best.tooFar, ", ") +
                        " — more than " +
                        (best.reachMs == 1000 ? std::string("a second")
                                              : formatText("%g s", best.reachMs / 1000)) +
                        " from the others.");
    for (const CappedSpeaker& c : best.capped)
        lines.push_back(formatText(
            "%s needs %.0f ms of delay but the limit is %.0f ms, so it will play %.0f ms early.",
            c.name.c_str(), c.needMs, c.limitMs, c.earlyMs));
    if (end == TuneEnd::cancelled) {
        lines.push_back(
            formatText("Cancelled after pass %d — the offsets above are in place.", last));
    } else if (!best.capped.empty() && best.check.conclusive && best.check.worstMs == 0) {
        // The checks allow a few ms, so a speaker the limit leaves slightly early still sounds as
        // one arrival: name it rather than call the whole group together.
        std::vector<std::string> early;
        for (const CappedSpeaker& c : best.capped)
            early.push_back(formatText("%s, %.0f ms early", c.name.c_str(), c.earlyMs));
        lines.push_back("Together except " + joined(early, "; ") +
                        formatText(" because of the %.0f ms limit; the checks heard one arrival.",
                                   best.capped.front().limitMs));
    } else if (!best.capped.empty()) {
        lines.push_back(
            formatText("Not together within the %.0f ms limit: ", best.capped.front().limitMs) +
            checks);
    } else if (best.check.conclusive && best.check.worstMs == 0) {
        lines.push_back((last == 1 ? std::string("Verified: ")
                                   : formatText("Verified on pass %d: ", best.index)) +
                        checks);
    } else if (end == TuneEnd::reflection) {
        lines.push_back(
            formatText("A second arrival sat at the same %+.0f ms on both passes: ",
                       passes.back().check.worstMs) +
            checks +
            " A lag that does not move between passes is a room reflection, not a speaker running "
            "late" +
            (bluetooth ? " — Bluetooth latency wanders between runs, room geometry does not."
                       : ".") +
            " The offsets above are the measured ones and should be right; if it still sounds "
            "smeared, try Align by ear.");
    } else if (!best.check.conclusive) {
        lines.push_back("Could not verify: " + checks);
    } else {
        lines.push_back(
            formatText("Still not together after %d pass%s: ", last, last > 1 ? "es" : "") +
            checks +
            (bluetooth ? " Bluetooth latency is drifting faster than it can be measured — try "
                         "Align by ear, or run it again with the room quiet."
                       : " The room's noise or a faint speaker kept the timing from settling — try "
                         "Align by ear, or run it again with the room quiet."));
    }
    if (!notes.empty()) lines.push_back("Notes: " + joined(notes, "; ") + ".");
    return joined(lines, " ");
}

}  // namespace housetone
