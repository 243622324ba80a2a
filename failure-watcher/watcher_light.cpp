#include "watcher_bus.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

// What the watcher does to the LED once the rules have decided: the failure
// and ready patterns started and stopped, the mark that the light shown is
// its own, and the timer for the next unit that will have run long enough.

namespace {

// False where the call was lost: the manager went away before it answered,
// as it does to re-execute. A call it refused is said, and not asked again.
bool callManager(Watcher& w, const char* method, const char* unit)
{
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const int result = sd_bus_call_method(w.bus, systemdName, managerPath, managerInterface, method,
                                          &error, nullptr, "ss", unit, "replace");
    const bool lost = sd_bus_error_has_name(&error, SD_BUS_ERROR_NO_REPLY) ||
                      result == -ECONNRESET || result == -ENOTCONN;
    if (lost) {
        say(priorityInfo, "%s %s was lost with the manager: asked again once it is back", method,
            unit);
    } else if (result < 0) {
        say(priorityWarning, "%s %s: %s", method, unit, reason(error, result));
    }
    sd_bus_error_free(&error);
    return !lost;
}

// Asked only when the light would change, never at every unit's change.
bool systemStopping(Watcher& w)
{
    char* state = nullptr;
    const int result = sd_bus_get_property_string(w.bus, systemdName, managerPath, managerInterface,
                                                  "SystemState", nullptr, &state);
    const bool stopping = result >= 0 && strcmp(state, "stopping") == 0;
    free(state);
    return stopping;
}

void keepShownOnDisk(Watcher& w)
{
    if (w.rules.shown == w.shownOnDisk) {
        return;
    }
    if (w.rules.shown) {
        const int file = open(w.shownPath, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (file < 0) {
            say(priorityWarning, "cannot write %s: %s", w.shownPath, strerror(errno));
        } else {
            close(file);
        }
    } else if (unlink(w.shownPath) < 0 && errno != ENOENT) {
        say(priorityWarning, "cannot remove %s: %s", w.shownPath, strerror(errno));
    }
    w.shownOnDisk = w.rules.shown;
}

int settled(sd_event_source* /*unused*/, uint64_t /*unused*/, void* userdata);

}  // namespace

// Does what the rules decided, then sets the timer for the next unit to settle.
void act(Watcher& w, Verdict verdict, const char* unit)
{
    if (verdict != Verdict::nothing && systemStopping(w)) {
        w.rules.stopping = true;
        w.rules.shown = verdict == Verdict::handBack;
        verdict = Verdict::nothing;  // the shutdown's own pattern, if any, shows
    }
    bool done = true;
    if (verdict == Verdict::show) {
        say(priorityInfo, "%s failed: %s shows",
            unit && !unitLeftOut(w.rules, unit) ? unit : "a unit", w.failurePattern);
        done = callManager(w, "StartUnit", w.failurePattern);
    } else if (verdict == Verdict::handBack) {
        // glow-ready.service is ordered after every failure pattern, so its
        // start waits for the stop and then finds no failure shown.
        say(priorityInfo, "no unit failed any more: the ready pattern");
        done = callManager(w, "StopUnit", w.failurePattern);
        done = callManager(w, "StartUnit", "glow-ready.service") && done;
    }
    if (!done) {
        // Everything is read again, and what still holds done again.
        w.unfinished = verdict;
        rereadLater(w, usPerS);
    }
    keepShownOnDisk(w);
    const uint64_t due = rulesNextDueUs(w.rules);
    if (due == neverUs) {
        if (w.settleTimer) {
            (void)sd_event_source_set_enabled(w.settleTimer, SD_EVENT_OFF);  // cannot fail off
        }
    } else {
        armTimer(w, w.settleTimer, due, settled);
    }
}

namespace {

int settled(sd_event_source* /*unused*/, uint64_t /*unused*/, void* userdata)
{
    auto& w = *static_cast<Watcher*>(userdata);
    act(w, rulesTick(w.rules, now(w)), nullptr);
    return 0;
}

}  // namespace
