// The failure light's rules, fed the state sequences systemd 252 and 257
// send on a virtual clock, without a bus: when the failure pattern shows,
// when the LED is handed back, and when nothing is done.

#include "failure_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr const char* pattern = "glow-failed@glowfive.service";

// One event as the bus layer hands it over, and the verdict expected.
struct Event {
    enum Kind { change, result, removed, beginRead, listed, endRead, tick, redo } kind;
    std::string unit;
    std::string active;
    std::string sub;
    uint32_t job = 0;
    double atS = 0;
    Verdict expected = Verdict::nothing;
    Verdict lost = Verdict::nothing;  // redo: the verdict whose calls were lost
};

Event changed(const std::string& unit, const std::string& active, const std::string& sub,
              Verdict expected = Verdict::nothing, double atS = 0, uint32_t job = 0)
{
    return {Event::change, unit, active, sub, job, atS, expected};
}
Event serviceResult(const std::string& unit, const std::string& result)
{
    return {Event::result, unit, result, ""};
}
Event listed(const std::string& unit, const std::string& active, const std::string& sub)
{
    return {Event::listed, unit, active, sub};
}
Event at(double atS, Verdict expected = Verdict::nothing)
{
    return {Event::tick, "", "", "", 0, atS, expected};
}
Event removed(const std::string& unit, Verdict expected = Verdict::nothing)
{
    return {Event::removed, unit, "", "", 0, 0, expected};
}
Event redo(Verdict lost, Verdict expected)
{
    return {Event::redo, "", "", "", 0, 0, expected, lost};
}
const Event beginRead{Event::beginRead};
Event endRead(Verdict expected = Verdict::nothing)
{
    return {Event::endRead, "", "", "", 0, 0, expected};
}

// A service's crash under each release, Result first as systemd sends it.
std::vector<Event> crash257(const std::string& unit, Verdict expected, double atS)
{
    return {serviceResult(unit, "exit-code"), changed(unit, "failed", "failed", expected, atS),
            changed(unit, "activating", "auto-restart", Verdict::nothing, atS, 7),
            changed(unit, "activating", "start", Verdict::nothing, atS + 1)};
}
std::vector<Event> crash252(const std::string& unit, Verdict expected, double atS)
{
    return {serviceResult(unit, "exit-code"),
            changed(unit, "activating", "auto-restart", expected, atS),
            changed(unit, "inactive", "dead", Verdict::nothing, atS + 1, 7),
            changed(unit, "activating", "start", Verdict::nothing, atS + 1)};
}

struct Scenario {
    std::string name;
    std::vector<Event> events;
    std::string ignored;
    uint64_t recoveredAfterS = 10;
};

void PrintTo(const Scenario& scenario, std::ostream* out)
{
    *out << scenario.name;
}

std::vector<Event> join(std::initializer_list<std::vector<Event>> parts)
{
    std::vector<Event> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

std::vector<Event> crashLoop(std::vector<Event> (*crash)(const std::string&, Verdict, double))
{
    return join({crash("app.service", Verdict::show, 0),
                 {changed("app.service", "active", "running", Verdict::nothing, 2)},
                 crash("app.service", Verdict::nothing, 5),
                 {changed("app.service", "active", "running", Verdict::nothing, 7)},
                 crash("app.service", Verdict::nothing, 12),
                 {changed("app.service", "active", "running", Verdict::nothing, 14), at(23.9),
                  at(24, Verdict::handBack)}});
}

std::vector<Event> storm()
{
    std::vector<Event> events;
    events.reserve(200);
    for (int i = 0; i < 100; ++i) {
        events.push_back(changed("storm" + std::to_string(i) + ".service", "failed", "failed",
                                 i == 0 ? Verdict::show : Verdict::nothing));
    }
    for (int i = 0; i < 100; ++i) {
        events.push_back(changed("storm" + std::to_string(i) + ".service", "inactive", "dead",
                                 i == 99 ? Verdict::handBack : Verdict::nothing));
    }
    return events;
}

const Scenario scenarios[] = {
    {"CrashLoopUnder257ShowsSteadily", crashLoop(crash257)},
    {"CrashLoopUnder252ShowsSteadily", crashLoop(crash252)},
    // Slower than the default 10 s: shown steadily where the setting is longer.
    {"SlowCrashLoopUnderALongerSetting",
     join({crash257("app.service", Verdict::show, 0),
           {changed("app.service", "active", "running", Verdict::nothing, 2), at(14)},
           crash257("app.service", Verdict::nothing, 22),
           {changed("app.service", "active", "running", Verdict::nothing, 24), at(53.9),
            at(54, Verdict::handBack)}}),
     "", 30},
    {"FailedForGoodThenReset",
     {changed("app.service", "failed", "failed", Verdict::show),
      changed("app.service", "inactive", "dead", Verdict::handBack)}},
    {"FailedThenCollected",
     {changed("app.mount", "failed", "failed", Verdict::show),
      removed("app.mount", Verdict::handBack)}},
    {"HundredFailuresShowOnceAndClearAtTheLastReset", storm()},
    {"QuickRestartCountsByTheServicesResult",
     {serviceResult("app.service", "exit-code"),
      changed("app.service", "activating", "auto-restart", Verdict::show)}},
    {"CleanExitRestartedByAlwaysDoesNotCount",
     {serviceResult("app.service", "success"), changed("app.service", "activating", "auto-restart"),
      changed("app.service", "active", "running")}},
    {"IgnoredEscapedNamesAndPatterns",
     {changed("mnt-backup\\x2ddisk.mount", "failed", "failed"),
      changed("mnt-usb\\x2d1.mount", "failed", "failed"),
      changed("glowbreathe.service", "failed", "failed"),
      changed("glow-gpio.service", "failed", "failed"),
      changed("mnt-other.mount", "failed", "failed", Verdict::show)},
     "mnt-backup\\x2ddisk.mount mnt-usb*.mount"},
    // The ready pattern's hand-over stops the failure pattern shown meanwhile:
    // it is put back once the hand-over is done.
    {"FailureDuringTheHandOverIsPutBack",
     {changed("app.service", "failed", "failed", Verdict::show),
      changed("app.service", "inactive", "dead", Verdict::handBack),
      changed("glow-ready.service", "activating", "start"),
      changed("other.service", "failed", "failed", Verdict::show),
      changed(pattern, "inactive", "dead"),
      changed("glow-ready.service", "inactive", "dead", Verdict::show),
      changed("other.service", "inactive", "dead", Verdict::handBack)}},
    // Handed back again while the ready pattern's run (which found the
    // failure shown) is under way: the ready pattern is asked again after it.
    {"HandBackDuringTheReadyPatternsRunIsAskedAgainAfterIt",
     {changed("a.service", "failed", "failed", Verdict::show),
      changed("a.service", "inactive", "dead", Verdict::handBack),
      changed("glow-ready.service", "activating", "start"),
      changed("a.service", "failed", "failed", Verdict::show),
      changed("a.service", "inactive", "dead", Verdict::handBack),
      changed("glow-ready.service", "inactive", "dead", Verdict::handBack),
      changed("glow-ready.service", "activating", "start"),
      changed("glow-ready.service", "inactive", "dead")}},
    // After daemon-reexec a unit reset meanwhile is no longer listed.
    {"ReexecInTheMiddle",
     {changed("a.service", "failed", "failed", Verdict::show),
      changed("b.service", "failed", "failed"), changed(pattern, "active", "running"), beginRead,
      listed("a.service", "failed", "failed"), listed(pattern, "active", "running"), endRead(),
      beginRead, listed(pattern, "active", "running"), endRead(Verdict::handBack)}},
    // A daemon-reexec dropped the hand-back's calls: done again after the
    // read, unless a unit has failed since; a lost show likewise.
    {"CallsLostInAReexecAreDoneAgainWhileTheyHold",
     {changed("a.service", "failed", "failed", Verdict::show),
      changed("a.service", "inactive", "dead", Verdict::handBack), beginRead, endRead(),
      redo(Verdict::handBack, Verdict::handBack),
      changed("b.service", "failed", "failed", Verdict::show), beginRead,
      listed("b.service", "failed", "failed"), endRead(), redo(Verdict::handBack, Verdict::nothing),
      changed(pattern, "inactive", "dead"), redo(Verdict::show, Verdict::show)}},
    {"FirstReadShowsWhatIsFailed",
     {beginRead, listed("a.service", "failed", "failed"), listed("b.service", "active", "running"),
      endRead(Verdict::show)}},
    {"HandStartedFailurePatternIsLeftAlone",
     {changed(pattern, "active", "running"), changed("session-4.scope", "active", "running"),
      changed("timer.service", "inactive", "dead")}},
    {"ChosenPatternStaysWhenTheFailureEnds",
     {changed("app.service", "failed", "failed", Verdict::show),
      changed(pattern, "inactive", "dead"), changed("app.service", "inactive", "dead")}},
    {"NothingIsStartedWhileTheSystemStops",
     {changed("shutdown.target", "inactive", "dead", Verdict::nothing, 0, 40),
      changed("app.service", "failed", "failed"),
      changed("glow-ready.service", "activating", "start"),
      changed("glow-ready.service", "inactive", "dead")}},
    // Running again restarts its count each time it comes up.
    {"RunningAgainIsTimedFromTheLastStart",
     {changed("app.service", "failed", "failed", Verdict::show),
      changed("app.service", "active", "running", Verdict::nothing, 0),
      changed("app.service", "failed", "failed", Verdict::nothing, 8),
      changed("app.service", "active", "running", Verdict::nothing, 9), at(10), at(18.9),
      at(19, Verdict::handBack)}},
};

class FailureLight : public testing::TestWithParam<Scenario> {};

INSTANTIATE_TEST_SUITE_P(Rules, FailureLight, testing::ValuesIn(scenarios),
                         [](const auto& info) { return info.param.name; });

TEST_P(FailureLight, DecidesAsEachEventComes)
{
    const Scenario& scenario = GetParam();
    FailureRules rules;
    rulesInit(rules, pattern, "glowbreathe,glowtwice,glowfive,glowfull,glowoff",
              scenario.ignored.c_str(), scenario.recoveredAfterS * usPerS);
    for (size_t index = 0; index < scenario.events.size(); ++index) {
        const Event& event = scenario.events[index];
        const auto nowUs = static_cast<uint64_t>(event.atS * usPerS);
        const UnitState state = {event.unit.c_str(), event.active.c_str(), event.sub.c_str(),
                                 nullptr, event.job};
        Verdict verdict = Verdict::nothing;
        switch (event.kind) {
        case Event::change:
            verdict = rulesUnitChanged(rules, state, nowUs);
            break;
        case Event::result:
            rulesServiceResult(rules, event.unit.c_str(), event.active.c_str());
            break;
        case Event::removed:
            verdict = rulesUnitRemoved(rules, event.unit.c_str());
            break;
        case Event::beginRead:
            rulesBeginRead(rules);
            break;
        case Event::listed:
            rulesReadUnit(rules, state, nowUs);
            break;
        case Event::endRead:
            verdict = rulesEndRead(rules);
            break;
        case Event::redo:
            verdict = rulesRedo(rules, event.lost);
            break;
        case Event::tick:
            // The bus layer's timer fires at the next due time, never before.
            if (rulesNextDueUs(rules) <= nowUs) {
                verdict = rulesTick(rules, nowUs);
            }
            break;
        }
        EXPECT_EQ(static_cast<int>(verdict), static_cast<int>(event.expected))
            << "event " << index << ": " << event.unit << " " << event.active << " " << event.sub;
    }
    rulesFree(rules);
}

TEST(FailureLightSetting, TakesWholeSecondsFromOneToADay)
{
    for (const auto& [text, valid] :
         {std::pair{"1", true}, std::pair{"30", true}, std::pair{"86400", true},
          std::pair{"0", false}, std::pair{"86401", false}, std::pair{"-5", false},
          std::pair{"10s", false}, std::pair{"", false},
          std::pair{"99999999999999999999", false}}) {
        uint64_t seconds = 0;
        EXPECT_EQ(parseRecoveredAfterS(text, seconds), valid) << text;
    }
}

}  // namespace
