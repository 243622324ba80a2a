#include "failure_rules.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fnmatch.h>

namespace {

constexpr const char* readyPattern = "glow-ready.service";
constexpr const char* shutdownTarget = "shutdown.target";
constexpr uint64_t recoveredAfterMaxS = uint64_t{24} * 60 * 60;

bool is(const char* text, const char* word)
{
    return text && strcmp(text, word) == 0;
}

bool runningState(const char* active)
{
    return is(active, "activating") || is(active, "active") || is(active, "reloading") ||
           is(active, "deactivating");
}

// Words separated by spaces, tabs or commas; each matched whole, or as a pattern.
bool inList(const char* list, const char* unit, bool patterns)
{
    char word[unitNameMax];
    for (const char* at = list; *at;) {
        size_t length = strcspn(at, " \t,");
        if (length > 0 && length < sizeof word) {
            memcpy(word, at, length);
            word[length] = '\0';
            if (patterns ? fnmatch(word, unit, FNM_NOESCAPE) == 0 : strcmp(word, unit) == 0) {
                return true;
            }
        }
        at += length;
        at += strspn(at, " \t,");
    }
    return false;
}

CountedUnit* find(FailureRules& rules, const char* unit)
{
    for (size_t i = 0; i < rules.count; ++i) {
        if (strcmp(rules.counted[i].unit, unit) == 0) {
            return &rules.counted[i];
        }
    }
    return nullptr;
}

void forget(FailureRules& rules, CountedUnit* entry)
{
    *entry = rules.counted[--rules.count];
}

CountedUnit* add(FailureRules& rules, const char* unit)
{
    if (rules.count == rules.capacity) {
        size_t capacity = rules.capacity ? rules.capacity * 2 : 16;
        auto* grown =
            static_cast<CountedUnit*>(realloc(rules.counted, capacity * sizeof(CountedUnit)));
        if (!grown) {
            return nullptr;
        }
        rules.counted = grown;
        rules.capacity = capacity;
    }
    CountedUnit* entry = &rules.counted[rules.count++];
    snprintf(entry->unit, sizeof entry->unit, "%s", unit);
    entry->runningSinceUs = neverUs;
    entry->listed = true;
    return entry;
}

// The units glow itself watches for: whether its pattern was taken from it,
// whether the ready pattern's hand-over is done, whether the system stops.
// True where the unit was one of them.
bool watchedByGlow(FailureRules& rules, const UnitState& state, bool& readyEnded)
{
    const bool idle =
        (is(state.active, "inactive") || is(state.active, "failed")) && state.job == 0;
    if (is(state.unit, rules.failurePattern)) {
        if (idle) {
            rules.shown = false;  // stopped by someone else, or by a pattern started since
        }
        return true;
    }
    if (is(state.unit, readyPattern)) {
        const bool running = runningState(state.active) || state.job != 0;
        readyEnded = rules.readyRunning && !running;
        rules.readyRunning = running;
        return true;
    }
    if (is(state.unit, shutdownTarget)) {
        rules.stopping = state.job != 0 || runningState(state.active);
        return true;
    }
    return false;
}

// Counts or forgets the unit; true where it has just begun to count.
bool judge(FailureRules& rules, const UnitState& state, const char* result, uint64_t nowUs)
{
    if (unitLeftOut(rules, state.unit)) {
        return false;
    }
    CountedUnit* entry = find(rules, state.unit);
    // A service that Restart=always brings back after a clean exit did not
    // fail; one whose Result is not known is taken to have.
    const bool failing = is(state.active, "failed") ||
                         (strncmp(state.sub, "auto-restart", 12) == 0 && !is(result, "success"));
    if (failing) {
        if (entry) {
            entry->runningSinceUs = neverUs;
            return false;
        }
        if (!add(rules, state.unit)) {
            fprintf(stderr, "<3>%s: out of memory\n", program_invocation_short_name);
            exit(EXIT_FAILURE);  // Restart= brings the watcher back to read it all again
        }
        return true;
    }
    if (!entry) {
        return false;
    }
    // Stopped or reset: no longer counts, unless that is the stop of a
    // restart (systemd 252 passes through inactive between tries).
    if (is(state.active, "inactive") && state.job == 0) {
        forget(rules, entry);
        return false;
    }
    // Its time running again starts anew each time it comes up.
    if (is(state.active, "active") || is(state.active, "reloading")) {
        if (entry->runningSinceUs == neverUs) {
            entry->runningSinceUs = nowUs;
        }
    } else {
        entry->runningSinceUs = neverUs;
    }
    return false;
}

// Shows at the first failure the light does not show yet; hands back when
// the last counted unit stops counting, if the light is still its own.
Verdict decide(FailureRules& rules, size_t countBefore, bool newFailure)
{
    if (rules.stopping) {
        return Verdict::nothing;  // the shutdown's own pattern, if any, shows
    }
    if (newFailure && !rules.shown) {
        rules.shown = true;
        return Verdict::show;
    }
    if (countBefore > 0 && rules.count == 0 && rules.shown) {
        rules.shown = false;
        // A run of the ready pattern under way has judged already: the
        // start asked for now joins it, and another is asked once it ends.
        rules.readyAgain = rules.readyRunning;
        return Verdict::handBack;
    }
    return Verdict::nothing;
}

}  // namespace

void rulesInit(FailureRules& rules, const char* failurePattern, const char* ownPrograms,
               const char* ignored, uint64_t recoveredAfterUs)
{
    rules = {};
    rules.failurePattern = failurePattern;
    rules.ownPrograms = ownPrograms;
    rules.ignored = ignored;
    rules.recoveredAfterUs = recoveredAfterUs;
}

void rulesFree(FailureRules& rules)
{
    free(rules.counted);
    rules.counted = nullptr;
    rules.count = rules.capacity = 0;
}

bool parseRecoveredAfterS(const char* text, uint64_t& seconds)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || *text == '-' || value < 1 ||
        value > recoveredAfterMaxS) {
        return false;
    }
    seconds = value;
    return true;
}

bool glowProgram(const FailureRules& rules, const char* program)
{
    return inList(rules.ownPrograms, program, false);
}

bool unitLeftOut(const FailureRules& rules, const char* unit)
{
    if (strncmp(unit, "glow-", 5) == 0) {
        return true;
    }
    const char* suffix = strrchr(unit, '.');
    if (suffix && strcmp(suffix, ".service") == 0) {
        char name[unitNameMax];
        auto length = static_cast<size_t>(suffix - unit);
        if (length < sizeof name) {
            memcpy(name, unit, length);
            name[length] = '\0';
            if (inList(rules.ownPrograms, name, false)) {
                return true;
            }
        }
    }
    return inList(rules.ignored, unit, true);
}

void rulesServiceResult(FailureRules& rules, const char* unit, const char* result)
{
    snprintf(rules.resultUnit, sizeof rules.resultUnit, "%s", unit);
    snprintf(rules.result, sizeof rules.result, "%s", result);
}

Verdict rulesUnitChanged(FailureRules& rules, const UnitState& state, uint64_t nowUs)
{
    bool readyEnded = false;
    if (watchedByGlow(rules, state, readyEnded)) {
        if (!readyEnded || rules.stopping) {
            return Verdict::nothing;
        }
        const bool again = rules.readyAgain;
        rules.readyAgain = false;
        // A failure that came while the ready pattern took over is put back.
        if (rules.count > 0) {
            rules.shown = true;
            return Verdict::show;
        }
        return again && !rules.shown ? Verdict::handBack : Verdict::nothing;
    }
    const char* result = state.result;
    if (!result && is(rules.resultUnit, state.unit)) {
        result = rules.result;
    }
    const size_t before = rules.count;
    const bool newFailure = judge(rules, state, result, nowUs);
    return decide(rules, before, newFailure);
}

Verdict rulesUnitRemoved(FailureRules& rules, const char* unit)
{
    CountedUnit* entry = find(rules, unit);
    if (!entry) {
        return Verdict::nothing;
    }
    forget(rules, entry);
    return decide(rules, rules.count + 1, false);
}

void rulesBeginRead(FailureRules& rules)
{
    for (size_t i = 0; i < rules.count; ++i) {
        rules.counted[i].listed = false;
    }
    rules.readNewFailure = false;
    rules.readPatternRunning = false;
}

void rulesReadUnit(FailureRules& rules, const UnitState& state, uint64_t nowUs)
{
    bool readyEnded = false;
    if (is(state.unit, rules.failurePattern)) {
        rules.readPatternRunning = runningState(state.active) || state.job != 0;
    }
    if (watchedByGlow(rules, state, readyEnded)) {
        return;
    }
    rules.readNewFailure |= judge(rules, state, state.result, nowUs);
    if (CountedUnit* entry = find(rules, state.unit)) {
        entry->listed = true;
    }
}

Verdict rulesEndRead(FailureRules& rules)
{
    for (size_t i = rules.count; i-- > 0;) {
        if (!rules.counted[i].listed) {
            forget(rules, &rules.counted[i]);
        }
    }
    // Not loaded, or not running: someone else has the light, or no one.
    if (!rules.readPatternRunning) {
        rules.shown = false;
    }
    // A light of its own left on by an earlier watcher is handed back too.
    return decide(rules, rules.shown ? rules.count + 1 : 0, rules.readNewFailure);
}

Verdict rulesRedo(FailureRules& rules, Verdict lost)
{
    if (rules.stopping) {
        return Verdict::nothing;
    }
    if (lost == Verdict::show && rules.count > 0) {
        rules.shown = true;
        return Verdict::show;
    }
    if (lost == Verdict::handBack && rules.count == 0 && !rules.shown) {
        return Verdict::handBack;
    }
    return Verdict::nothing;
}

uint64_t rulesNextDueUs(const FailureRules& rules)
{
    uint64_t due = neverUs;
    for (size_t i = 0; i < rules.count; ++i) {
        const uint64_t since = rules.counted[i].runningSinceUs;
        if (since != neverUs && since + rules.recoveredAfterUs < due) {
            due = since + rules.recoveredAfterUs;
        }
    }
    return due;
}

Verdict rulesTick(FailureRules& rules, uint64_t nowUs)
{
    const size_t before = rules.count;
    for (size_t i = rules.count; i-- > 0;) {
        const uint64_t since = rules.counted[i].runningSinceUs;
        if (since != neverUs && since + rules.recoveredAfterUs <= nowUs) {
            forget(rules, &rules.counted[i]);
        }
    }
    return decide(rules, before, false);
}
