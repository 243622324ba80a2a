#pragma once

// What the failure light decides, from the units' states alone: which units
// count as failed, when they stop counting, and when to show the failure
// pattern or hand the LED back. No bus here: the bus layer feeds it the
// states systemd signals and a monotonic clock, and does what it answers.

#include <cstddef>
#include <cstdint>

constexpr size_t unitNameMax = 256;  // systemd's own limit, with its end
constexpr uint64_t usPerS = 1000000;
constexpr uint64_t recoveredAfterDefaultS = 10;
constexpr uint64_t neverUs = UINT64_MAX;

enum class Verdict {
    nothing,
    show,      // start the failure pattern
    handBack,  // stop the failure pattern and start the ready pattern
};

// One unit's state as systemd tells it, in a signal or a listing.
struct UnitState {
    const char* unit;
    const char* active;  // ActiveState
    const char* sub;     // SubState
    const char* result;  // a service's Result, where it is known; else nullptr
    uint32_t job;        // its pending job's id, 0 for none
};

struct CountedUnit {
    char unit[unitNameMax];
    uint64_t runningSinceUs;  // neverUs while it is not running after its failure
    bool listed;              // seen in the re-read under way
};

struct FailureRules {
    // Settings, kept by the caller for the rules' life.
    const char* failurePattern;  // glow-failed@PROGRAM.service
    const char* ownPrograms;     // glow's programs, separated by commas
    const char* ignored;         // GLOW_IGNORED_UNITS: names or patterns
    uint64_t recoveredAfterUs;   // a unit stops counting once it has run this long

    CountedUnit* counted;  // as many as have failed, in no order
    size_t count;
    size_t capacity;
    bool shown;     // this watcher started the failure pattern, and no one has stopped it since
    bool stopping;  // the system is shutting down: nothing is started any more
    bool readyRunning;
    bool readyAgain;          // handed back while the ready pattern ran: asked again once it ends
    bool readNewFailure;      // the re-read under way found a unit newly failed
    bool readPatternRunning;  // and the failure pattern running
    // A service's Result, from its own interface's signal, which systemd
    // sends just before the unit's.
    char resultUnit[unitNameMax];
    char result[32];
};

void rulesInit(FailureRules& rules, const char* failurePattern, const char* ownPrograms,
               const char* ignored, uint64_t recoveredAfterUs);
void rulesFree(FailureRules& rules);

// GLOW_RECOVERED_AFTER_S's value in seconds (1 to a day); false for anything else.
bool parseRecoveredAfterS(const char* text, uint64_t& seconds);

// Whether program is one of glow's own.
bool glowProgram(const FailureRules& rules, const char* program);

// Whether a unit's failures never count: glow's own units and those ignored
// names. Patterns match as systemd matches unit patterns: a backslash is a
// character of the name (systemd-escape's \x2d), not an escape.
bool unitLeftOut(const FailureRules& rules, const char* unit);

// The Result of a service's own interface, remembered for the unit's signal after it.
void rulesServiceResult(FailureRules& rules, const char* unit, const char* result);

// A unit's new state, as its PropertiesChanged tells it.
Verdict rulesUnitChanged(FailureRules& rules, const UnitState& state, uint64_t nowUs);
// A unit systemd has unloaded: it was reset and collected.
Verdict rulesUnitRemoved(FailureRules& rules, const char* unit);

// The whole state again: each unit systemd lists, between a begin and an end;
// a counted unit no longer listed has been collected.
void rulesBeginRead(FailureRules& rules);
void rulesReadUnit(FailureRules& rules, const UnitState& state, uint64_t nowUs);
Verdict rulesEndRead(FailureRules& rules);

// What a verdict whose calls were lost (the manager went away before it
// answered, as in a daemon-reexec) comes to after the next read: done
// again while it still holds.
Verdict rulesRedo(FailureRules& rules, Verdict lost);

// When the next counted unit will have run long enough; neverUs if none runs.
uint64_t rulesNextDueUs(const FailureRules& rules);
// The clock has reached nowUs: units that have run long enough stop counting.
Verdict rulesTick(FailureRules& rules, uint64_t nowUs);
