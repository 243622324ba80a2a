#include "watcher_bus.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {

constexpr const char* unitPathPrefix = "/org/freedesktop/systemd1/unit";
constexpr uint64_t retryAfterUs = usPerS;
constexpr uint64_t managerSettleUs = 5 * usPerS;
// What a re-executed manager lists once it has settled is not always where
// it ends (seen under systemd 257: a reset sent during the re-exec, the
// light handed back, then the unit listed failed again, and no signal
// after): the state is read once more this long after the read that ended
// the settling, so that the light ends as the units are.
constexpr uint64_t afterReexecReadUs = usPerS;
// A unit's settle fires within 1 ms of its time (sd-event's default is 250 ms).
constexpr uint64_t timerAccuracyUs = 1000;

}  // namespace

uint64_t now(const Watcher& w)
{
    uint64_t nowUs = 0;
    // Before the loop's first iteration it reads the clock itself; it fails on bad arguments only.
    (void)sd_event_now(w.event, CLOCK_MONOTONIC, &nowUs);
    return nowUs;
}

const char* reason(const sd_bus_error& error, int result)
{
    return error.message ? error.message : strerror(-result);
}

namespace {

// A watcher that cannot go on ends, non-zero, for Restart= to bring it back.
void giveUp(Watcher& w, const char* what, int result)
{
    say(priorityError, "%s: %s", what, strerror(-result));
    (void)sd_event_exit(w.event, EXIT_FAILURE);  // fails only where the loop has ended already
}

}  // namespace

bool armTimer(Watcher& w, sd_event_source*& timer, uint64_t atUs, sd_event_time_handler_t handler)
{
    int result = timer ? sd_event_source_set_time(timer, atUs)
                       : sd_event_add_time(w.event, &timer, CLOCK_MONOTONIC, atUs, timerAccuracyUs,
                                           handler, &w);
    if (result >= 0) {
        result = sd_event_source_set_enabled(timer, SD_EVENT_ONESHOT);
    }
    if (result < 0) {
        giveUp(w, "cannot set a timer", result);
        return false;
    }
    return true;
}

namespace {

// A service's Result, asked where a listing shows it restarting; nullptr
// where it cannot be had, which the rules take for a failure.
char* serviceResult(Watcher& w, const char* path)
{
    char* result = nullptr;
    (void)sd_bus_get_property_string(w.bus, systemdName, path, "org.freedesktop.systemd1.Service",
                                     "Result", nullptr, &result);
    return result;
}

// The next unit of a listing (ListUnits and its kin): > 0 while there is one.
int nextListed(sd_bus_message* listing, UnitState& state, const char*& path)
{
    return sd_bus_message_read(listing, "(ssssssouso)", &state.unit, nullptr, nullptr,
                               &state.active, &state.sub, nullptr, &path, &state.job, nullptr,
                               nullptr);
}

int rereadNow(sd_event_source* /*unused*/, uint64_t /*unused*/, void* userdata);

}  // namespace

void rereadLater(Watcher& w, uint64_t afterUs)
{
    armTimer(w, w.rereadTimer, now(w) + afterUs, rereadNow);
}

namespace {

// Subscribes once per connection: systemd answers a second Subscribe with
// AlreadySubscribed, which means just that.
int subscribe(Watcher& w, sd_bus_error& error)
{
    if (w.subscribed) {
        return 0;
    }
    int result = sd_bus_call_method(w.bus, systemdName, managerPath, managerInterface, "Subscribe",
                                    &error, nullptr, "");
    if (result < 0 && sd_bus_error_has_name(&error, "org.freedesktop.systemd1.AlreadySubscribed")) {
        sd_bus_error_free(&error);
        result = 0;
    }
    w.subscribed = result >= 0;
    return result;
}

int unitsListed(sd_bus_message* reply, void* userdata, sd_bus_error* /*unused*/);

// The whole state, read after every connect, daemon-reexec and reload: a
// missed signal costs one query, never a wrong light. A read that fails is
// tried again a second later, not at every signal. The listing is asked for
// without waiting, so that the signals sent before it are taken before it.
void readAll(Watcher& w)
{
    if (w.reading) {
        w.readAgain = true;
        return;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int result = subscribe(w, error);
    if (result >= 0) {
        result = sd_bus_call_method_async(w.bus, nullptr, systemdName, managerPath,
                                          managerInterface, "ListUnits", unitsListed, &w, "");
    }
    if (result < 0) {
        say(priorityWarning, "cannot read the units, trying again: %s", reason(error, result));
        sd_bus_error_free(&error);
        rereadLater(w, retryAfterUs);
        return;
    }
    w.reading = true;
}

// Whether a signal is taken: not while a re-executed manager settles (it
// announces the states it was handed before the calls it took since, such
// as a reset), and not from a manager gone since (before a daemon-reexec),
// whose signals may be delivered after the new one's listing. The read
// that ends the settling tells the state.
bool takesSignal(const Watcher& w, sd_bus_message* message)
{
    const char* sender = sd_bus_message_get_sender(message);
    return !w.managerSettling && (!w.manager[0] || !sender || strcmp(sender, w.manager) == 0);
}

int unitsListed(sd_bus_message* reply, void* userdata, sd_bus_error* /*unused*/)
{
    auto& w = *static_cast<Watcher*>(userdata);
    w.reading = false;
    if (const char* sender = sd_bus_message_get_sender(reply)) {
        snprintf(w.manager, sizeof w.manager, "%s", sender);
    }
    if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
        say(priorityWarning, "cannot read the units, trying again: %s", error->message);
        rereadLater(w, retryAfterUs);
        return 0;
    }
    w.readOnceMore = w.readOnceMore || w.managerSettling;
    w.managerSettling = false;
    int result = sd_bus_message_enter_container(reply, 'a', "(ssssssouso)");
    rulesBeginRead(w.rules);
    const char* firstNew = nullptr;
    UnitState state = {};
    const char* path = nullptr;
    while (result >= 0 && (result = nextListed(reply, state, path)) > 0) {
        char* serviceOutcome = nullptr;
        if (strncmp(state.sub, "auto-restart", 12) == 0) {
            serviceOutcome = serviceResult(w, path);
        }
        state.result = serviceOutcome;
        const size_t before = w.rules.count;
        rulesReadUnit(w.rules, state, now(w));
        if (!firstNew && w.rules.count > before) {
            firstNew = state.unit;
        }
        free(serviceOutcome);
    }
    if (result < 0) {
        // Half a listing: what it said is kept, the rest read again.
        say(priorityWarning, "cannot read the units' list, trying again: %s", strerror(-result));
        rereadLater(w, retryAfterUs);
        return 0;
    }
    Verdict verdict = rulesEndRead(w.rules);
    if (verdict == Verdict::nothing) {
        verdict = rulesRedo(w.rules, w.unfinished);
    }
    w.unfinished = Verdict::nothing;
    act(w, verdict, firstNew);
    if (w.readAgain) {
        w.readAgain = false;
        rereadLater(w, 0);
    } else if (w.readOnceMore) {
        w.readOnceMore = false;
        rereadLater(w, afterReexecReadUs);
    }
    return 0;
}

int rereadNow(sd_event_source* /*unused*/, uint64_t /*unused*/, void* userdata)
{
    readAll(*static_cast<Watcher*>(userdata));
    return 0;
}

// PropertiesChanged of a unit: its Unit interface's state, or a service's
// Result, which systemd sends just before.
int propertiesChanged(sd_bus_message* message, void* userdata, sd_bus_error* /*unused*/)
{
    auto& w = *static_cast<Watcher*>(userdata);
    char* unit = nullptr;
    const char* path = sd_bus_message_get_path(message);
    if (!takesSignal(w, message) || !path || sd_bus_path_decode(path, unitPathPrefix, &unit) <= 0) {
        return 0;
    }
    const char* interface = nullptr;
    UnitState state = {unit, nullptr, "", nullptr, 0};
    const char* result = nullptr;
    int read = sd_bus_message_read(message, "s", &interface);
    if (read >= 0) {
        read = sd_bus_message_enter_container(message, 'a', "{sv}");
    }
    while (read >= 0 && (read = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
        const char* name = nullptr;
        read = sd_bus_message_read(message, "s", &name);
        if (read < 0) {
            break;
        }
        if (strcmp(name, "ActiveState") == 0) {
            read = sd_bus_message_read(message, "v", "s", &state.active);
        } else if (strcmp(name, "SubState") == 0) {
            read = sd_bus_message_read(message, "v", "s", &state.sub);
        } else if (strcmp(name, "Job") == 0) {
            read = sd_bus_message_read(message, "v", "(uo)", &state.job, nullptr);
        } else if (strcmp(name, "Result") == 0) {
            read = sd_bus_message_read(message, "v", "s", &result);
        } else {
            read = sd_bus_message_skip(message, "v");
        }
        if (read >= 0) {
            read = sd_bus_message_exit_container(message);
        }
    }
    if (read < 0) {
        say(priorityWarning, "a signal of %s could not be read: %s", unit, strerror(-read));
    } else if (strcmp(interface, "org.freedesktop.systemd1.Service") == 0) {
        if (result) {
            rulesServiceResult(w.rules, unit, result);
        }
    } else if (state.active) {
        act(w, rulesUnitChanged(w.rules, state, now(w)), unit);
    }
    free(unit);
    return 0;
}

// A unit newly loaded: judged from its listing, which a later change may not
// follow. Listed by pattern, as loaded units only: a listing by name would
// load it again once collected, and announce it anew.
int unitListed(sd_bus_message* reply, void* userdata, sd_bus_error* /*unused*/)
{
    auto& w = *static_cast<Watcher*>(userdata);
    if (sd_bus_message_is_method_error(reply, nullptr)) {
        return 0;  // gone again already
    }
    UnitState state = {};
    const char* path = nullptr;
    int result = sd_bus_message_enter_container(reply, 'a', "(ssssssouso)");
    while (result >= 0 && (result = nextListed(reply, state, path)) > 0) {
        act(w, rulesUnitChanged(w.rules, state, now(w)), state.unit);
    }
    if (result < 0) {
        say(priorityWarning, "a new unit could not be read: %s", strerror(-result));
    }
    return 0;
}

int unitNew(sd_bus_message* message, void* userdata, sd_bus_error* /*unused*/)
{
    auto& w = *static_cast<Watcher*>(userdata);
    const char* unit = nullptr;
    if (!takesSignal(w, message) || sd_bus_message_read(message, "s", &unit) < 0 ||
        unitLeftOut(w.rules, unit)) {
        return 0;
    }
    sd_bus_message* call = nullptr;
    int result = sd_bus_message_new_method_call(w.bus, &call, systemdName, managerPath,
                                                managerInterface, "ListUnitsByPatterns");
    if (result >= 0) {
        char* anyState[] = {nullptr};
        result = sd_bus_message_append_strv(call, anyState);
    }
    if (result >= 0) {
        // A unit's name holds none of a pattern's special characters but
        // the backslash, which systemd matches as itself.
        char* names[] = {const_cast<char*>(unit), nullptr};
        result = sd_bus_message_append_strv(call, names);
    }
    if (result >= 0) {
        result = sd_bus_call_async(w.bus, nullptr, call, unitListed, &w, 0);
    }
    sd_bus_message_unref(call);
    if (result < 0) {
        say(priorityWarning, "cannot ask for the new unit %s: %s", unit, strerror(-result));
    }
    return 0;
}

int unitRemoved(sd_bus_message* message, void* userdata, sd_bus_error* /*unused*/)
{
    auto& w = *static_cast<Watcher*>(userdata);
    const char* unit = nullptr;
    if (takesSignal(w, message) && sd_bus_message_read(message, "s", &unit) >= 0) {
        act(w, rulesUnitRemoved(w.rules, unit), unit);
    }
    return 0;
}

// After a daemon-reload the units are read again: their states may be new.
int reloading(sd_bus_message* message, void* userdata, sd_bus_error* /*unused*/)
{
    int active = 0;
    if (sd_bus_message_read(message, "b", &active) >= 0) {
        auto& w = *static_cast<Watcher*>(userdata);
        w.managerReloading = active != 0;
        if (!active) {
            rereadLater(w, 0);
        }
    }
    return 0;
}

// systemd back after daemon-reexec: subscribed again as the new manager
// wants, and everything read again once it says it has loaded its units
// (Reloading false; the new manager may list none of them before), or
// after a while where it does not say so.
int managerAppeared(sd_bus_message* message, void* userdata, sd_bus_error* /*unused*/)
{
    const char* name = nullptr;
    const char* before = nullptr;
    const char* after = nullptr;
    if (sd_bus_message_read(message, "sss", &name, &before, &after) >= 0 && after && *after) {
        auto& w = *static_cast<Watcher*>(userdata);
        snprintf(w.manager, sizeof w.manager, "%s", after);
        w.subscribed = false;
        // Back from a re-exec (it said it was reloading): settling until it
        // says it is done. On a restarted bus it is settled already.
        w.managerSettling = w.managerReloading;
        rereadLater(w, w.managerSettling ? managerSettleUs : 0);
    }
    return 0;
}

int connect(Watcher& w);

int reconnect(sd_event_source* /*unused*/, uint64_t /*unused*/, void* userdata)
{
    auto& w = *static_cast<Watcher*>(userdata);
    const int result = connect(w);
    if (result < 0) {
        say(priorityWarning, "cannot connect to the system bus, trying again: %s",
            strerror(-result));
        armTimer(w, w.reconnectTimer, now(w) + retryAfterUs, reconnect);
    }
    return 0;
}

// The bus went away: connect again, unless the system is stopping.
int disconnected(sd_bus_message* /*unused*/, void* userdata, sd_bus_error* /*unused*/)
{
    auto& w = *static_cast<Watcher*>(userdata);
    if (w.rules.stopping) {
        say(priorityInfo, "the system bus went away while the system stops");
        (void)sd_event_exit(w.event, EXIT_SUCCESS);
        return 0;
    }
    say(priorityWarning, "the system bus went away: connecting again");
    armTimer(w, w.reconnectTimer, 0, reconnect);
    return 0;
}

int connect(Watcher& w)
{
    if (w.bus) {
        (void)sd_bus_detach_event(w.bus);  // the connection is dropped whatever it says
        w.bus = sd_bus_flush_close_unref(w.bus);
    }
    w.subscribed = false;
    w.reading = w.readAgain = w.managerSettling = w.managerReloading = w.readOnceMore = false;
    w.manager[0] = '\0';
    int result = sd_bus_open_system(&w.bus);
    if (result < 0) {
        return result;  // said by the caller, which knows what follows
    }
    result = sd_bus_attach_event(w.bus, w.event, SD_EVENT_PRIORITY_NORMAL);
    // The units' states and services' results, their coming and going, and
    // the manager's reloads.
    const char* const interfaces[] = {"org.freedesktop.systemd1.Unit",
                                      "org.freedesktop.systemd1.Service"};
    for (const char* interface : interfaces) {
        char match[256];
        snprintf(match, sizeof match,
                 "type='signal',sender='%s',interface='org.freedesktop.DBus.Properties',"
                 "member='PropertiesChanged',path_namespace='%s',arg0='%s'",
                 systemdName, unitPathPrefix, interface);
        if (result >= 0) {
            result = sd_bus_add_match(w.bus, nullptr, match, propertiesChanged, &w);
        }
    }
    const struct {
        const char* member;
        sd_bus_message_handler_t handler;
    } managerSignals[] = {
        {"UnitNew", unitNew}, {"UnitRemoved", unitRemoved}, {"Reloading", reloading}};
    for (const auto& signal : managerSignals) {
        if (result >= 0) {
            result = sd_bus_match_signal(w.bus, nullptr, systemdName, managerPath, managerInterface,
                                         signal.member, signal.handler, &w);
        }
    }
    if (result >= 0) {
        result =
            sd_bus_match_signal(w.bus, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                "org.freedesktop.DBus", "NameOwnerChanged", managerAppeared, &w);
    }
    if (result >= 0) {
        result =
            sd_bus_match_signal(w.bus, nullptr, nullptr, "/org/freedesktop/DBus/Local",
                                "org.freedesktop.DBus.Local", "Disconnected", disconnected, &w);
    }
    if (result < 0) {
        say(priorityWarning, "cannot listen on the system bus: %s", strerror(-result));
        return result;
    }
    readAll(w);  // one that fails is tried again on its own
    return 0;
}

}  // namespace

void say(Priority priority, const char* format, ...)
{
    // Where stderr is the journal's stream, a "<N>" prefix is its priority.
    if (getenv("JOURNAL_STREAM")) {
        fprintf(stderr, "<%d>", priority);
    }
    va_list arguments;
    va_start(arguments, format);
    fprintf(stderr, "%s: ", program_invocation_short_name);
    vfprintf(stderr, format, arguments);
    fputc('\n', stderr);
    va_end(arguments);
}

int watcherStart(Watcher& w)
{
    w.shownOnDisk = access(w.shownPath, F_OK) == 0;
    w.rules.shown = w.shownOnDisk;
    return connect(w);
}
