// glow-degraded PROGRAM: shows glow-failed@PROGRAM.service while any unit
// of the system is failed (those `systemctl --failed` lists) or a service
// is being restarted after a failure, and hands the LED back to the ready
// pattern (glow-ready.service) once none is. It only listens: systemd's
// unit signals on the system bus wake it, nothing else, and it changes no
// other unit. glow's own units never count, nor those GLOW_IGNORED_UNITS
// names (unit names or shell patterns, separated by spaces).
//
// A unit counts from its failure until it has been active again for
// recoveredAfterS without failing, or until it is stopped or reset: a
// crash loop shows steadily. A pattern someone starts meanwhile stays.
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <systemd/sd-bus.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-event.h>

namespace {

constexpr long long recoveredAfterS = 10;
constexpr unsigned long long usPerS = 1000000;
// A settle timer fires within 1 ms of its time (sd-event's default is 250 ms).
constexpr unsigned long long timerAccuracyUs = 1000;
constexpr unsigned long long reconnectAfterUs = usPerS;
// More units failed at once than this still show, as one.
constexpr int maxTroubled = 64;
constexpr size_t unitNameMax = 256;  // systemd's own limit
constexpr const char* lockPath = "/run/glow-degraded/lock";
constexpr const char* unitPathPrefix = "/org/freedesktop/systemd1/unit";

struct Troubled {
    char unit[unitNameMax];
    sd_event_source* settle;  // only while it runs again after its failure
    bool listed;              // seen in the last full read
};

struct Watcher {
    char failurePattern[unitNameMax];
    char self[unitNameMax];
    sd_event* event;
    sd_bus* bus;
    sd_event_source* reconnect;
    Troubled troubled[maxTroubled];
    int troubledCount;
    bool overflowed;  // a failure that did not fit in the table
    const char* ignored;
};

void say(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    fprintf(stderr, "%s: ", program_invocation_short_name);
    vfprintf(stderr, format, arguments);
    fputc('\n', stderr);
    va_end(arguments);
}

bool inList(const char* list, const char* unit, bool patterns)
{
    char word[unitNameMax];
    for (const char* at = list; *at;) {
        size_t length = strcspn(at, " \t,");
        if (length > 0 && length < sizeof word) {
            memcpy(word, at, length);
            word[length] = '\0';
            if (patterns ? fnmatch(word, unit, 0) == 0 : strcmp(word, unit) == 0) {
                return true;
            }
        }
        at += length;
        at += strspn(at, " \t,");
    }
    return false;
}

// glow's own units show patterns themselves: their failures never count.
bool leftOut(const Watcher& w, const char* unit)
{
    if (strncmp(unit, "glow-", 5) == 0) {
        return true;
    }
    const char* suffix = strrchr(unit, '.');
    if (suffix && strcmp(suffix, ".service") == 0) {
        char name[unitNameMax];
        size_t length = suffix - unit;
        if (length < sizeof name) {
            memcpy(name, unit, length);
            name[length] = '\0';
            if (inList(GLOW_PROGRAMS, name, false)) {
                return true;
            }
        }
    }
    return inList(w.ignored, unit, true);
}

Troubled* find(Watcher& w, const char* unit)
{
    for (int i = 0; i < w.troubledCount; ++i) {
        if (strcmp(w.troubled[i].unit, unit) == 0) {
            return &w.troubled[i];
        }
    }
    return nullptr;
}

void forget(Watcher& w, Troubled* entry)
{
    sd_event_source_disable_unref(entry->settle);
    *entry = w.troubled[--w.troubledCount];
    w.troubled[w.troubledCount].settle = nullptr;
}

bool systemStopping(Watcher& w)
{
    char* state = nullptr;
    sd_bus_get_property_string(w.bus, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                               "org.freedesktop.systemd1.Manager", "SystemState", nullptr, &state);
    bool stopping = state && strcmp(state, "stopping") == 0;
    free(state);
    return stopping;
}

bool unitActive(Watcher& w, const char* unit)
{
    char* path = nullptr;
    char* state = nullptr;
    if (sd_bus_path_encode(unitPathPrefix, unit, &path) >= 0) {
        sd_bus_get_property_string(w.bus, "org.freedesktop.systemd1", path,
                                   "org.freedesktop.systemd1.Unit", "ActiveState", nullptr, &state);
    }
    bool active = state && (strcmp(state, "active") == 0 || strcmp(state, "activating") == 0);
    free(path);
    free(state);
    return active;
}

void callManager(Watcher& w, const char* method, const char* unit)
{
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int result = sd_bus_call_method(w.bus, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                                    "org.freedesktop.systemd1.Manager", method, &error, nullptr,
                                    "ss", unit, "replace");
    if (result < 0) {
        say("%s %s: %s", method, unit, error.message ? error.message : strerror(-result));
    }
    sd_bus_error_free(&error);
}

void showFailure(Watcher& w, const char* unit)
{
    if (systemStopping(w)) {
        return;  // the shutdown's own pattern, if any, shows
    }
    say("%s failed: %s shows", unit, w.failurePattern);
    callManager(w, "StartUnit", w.failurePattern);
}

int readAll(Watcher& w);

// glow-ready.service is ordered after every failure pattern, so its start
// waits for the stop and then finds no failure shown.
void handBackIfNoneFailed(Watcher& w)
{
    if (w.troubledCount > 0) {
        return;
    }
    // Failures that did not fit in the table: read them all again.
    if (w.overflowed) {
        readAll(w);
        return;
    }
    if (!unitActive(w, w.failurePattern)) {
        return;
    }
    say("no unit failed any more: the ready pattern");
    callManager(w, "StopUnit", w.failurePattern);
    callManager(w, "StartUnit", "glow-ready.service");
}

int settled(sd_event_source* /*unused*/, uint64_t /*unused*/, void* userdata);

bool armSettle(Watcher& w, Troubled& entry)
{
    if (entry.settle) {
        return true;
    }
    uint64_t now = 0;
    sd_event_now(w.event, CLOCK_MONOTONIC, &now);
    return sd_event_add_time(w.event, &entry.settle, CLOCK_MONOTONIC,
                             now + recoveredAfterS * usPerS, timerAccuracyUs, settled, &w) >= 0;
}

// A failed or restarting service's Result says whether it failed; a
// service that Restart=always brings back after a clean exit did not.
bool restartAfterFailure(Watcher& w, const char* path)
{
    char* result = nullptr;
    sd_bus_get_property_string(w.bus, "org.freedesktop.systemd1", path,
                               "org.freedesktop.systemd1.Service", "Result", nullptr, &result);
    bool failed = !result || strcmp(result, "success") != 0;
    free(result);
    return failed;
}

// One unit's new state, and whether a job of it waits; true where it has
// just begun to count.
bool judge(Watcher& w, const char* unit, const char* path, const char* active, const char* sub,
           uint32_t job)
{
    if (leftOut(w, unit)) {
        return false;
    }
    Troubled* entry = find(w, unit);
    bool failing = strcmp(active, "failed") == 0 ||
                   (strncmp(sub, "auto-restart", 12) == 0 && restartAfterFailure(w, path));
    if (failing) {
        if (entry) {
            entry->settle = sd_event_source_disable_unref(entry->settle);
            return false;
        }
        if (w.troubledCount == maxTroubled) {
            w.overflowed = true;
            return true;
        }
        entry = &w.troubled[w.troubledCount++];
        snprintf(entry->unit, sizeof entry->unit, "%s", unit);
        entry->settle = nullptr;
        entry->listed = true;
        return true;
    }
    if (!entry) {
        return false;
    }
    // Stopped or reset: no longer counts, unless that is the stop of a
    // restart (systemd 252 passes through inactive between tries).
    if (strcmp(active, "inactive") == 0 && job == 0) {
        forget(w, entry);
        return false;
    }
    // Its time running again starts anew each time it comes up.
    if (strcmp(active, "active") != 0 && strcmp(active, "reloading") != 0) {
        entry->settle = sd_event_source_disable_unref(entry->settle);
    } else if (!armSettle(w, *entry)) {
        forget(w, entry);
    }
    return false;
}

int settled(sd_event_source* /*unused*/, uint64_t /*unused*/, void* userdata)
{
    auto& w = *static_cast<Watcher*>(userdata);
    for (int i = 0; i < w.troubledCount; ++i) {
        Troubled& entry = w.troubled[i];
        uint64_t due = 0;
        if (entry.settle && sd_event_source_get_time(entry.settle, &due) >= 0) {
            uint64_t now = 0;
            sd_event_now(w.event, CLOCK_MONOTONIC, &now);
            if (due <= now) {
                forget(w, &entry);
                --i;
            }
        }
    }
    handBackIfNoneFailed(w);
    return 0;
}

int unitChanged(sd_bus_message* message, void* userdata, sd_bus_error* /*unused*/)
{
    char* unit = nullptr;
    const char* path = sd_bus_message_get_path(message);
    if (!path || sd_bus_path_decode(path, unitPathPrefix, &unit) <= 0) {
        return 0;
    }
    const char* active = nullptr;
    const char* sub = "";
    uint32_t job = 0;
    if (sd_bus_message_skip(message, "s") >= 0 &&
        sd_bus_message_enter_container(message, 'a', "{sv}") >= 0) {
        const char* name = nullptr;
        while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
            if (sd_bus_message_read(message, "s", &name) < 0) {
                break;
            }
            if (strcmp(name, "ActiveState") == 0) {
                sd_bus_message_read(message, "v", "s", &active);
            } else if (strcmp(name, "SubState") == 0) {
                sd_bus_message_read(message, "v", "s", &sub);
            } else if (strcmp(name, "Job") == 0) {
                sd_bus_message_read(message, "v", "(uo)", &job, nullptr);
            } else {
                sd_bus_message_skip(message, "v");
            }
            sd_bus_message_exit_container(message);
        }
    }
    if (active) {
        auto& w = *static_cast<Watcher*>(userdata);
        if (judge(w, unit, path, active, sub, job)) {
            showFailure(w, unit);
        } else {
            handBackIfNoneFailed(w);
        }
    }
    free(unit);
    return 0;
}

int unitRemoved(sd_bus_message* message, void* userdata, sd_bus_error* /*unused*/)
{
    auto& w = *static_cast<Watcher*>(userdata);
    const char* unit = nullptr;
    if (sd_bus_message_read(message, "s", &unit) < 0) {
        return 0;
    }
    if (Troubled* entry = find(w, unit)) {
        forget(w, entry);
        handBackIfNoneFailed(w);
    }
    return 0;
}

// The whole state, read once after every (re)connect or daemon-reexec: a
// missed signal costs one query, never a wrong light.
int readAll(Watcher& w)
{
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int result =
        sd_bus_call_method(w.bus, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                           "org.freedesktop.systemd1.Manager", "Subscribe", &error, nullptr, "");
    if (result >= 0) {
        result =
            sd_bus_call_method(w.bus, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                               "org.freedesktop.systemd1.Manager", "ListUnits", &error, &reply, "");
    }
    if (result < 0) {
        say("cannot read the units: %s", error.message ? error.message : strerror(-result));
        sd_bus_error_free(&error);
        return result;
    }
    for (int i = 0; i < w.troubledCount; ++i) {
        w.troubled[i].listed = false;
    }
    w.overflowed = false;
    const char* firstNew = nullptr;
    const char* unit;
    const char* active;
    const char* sub;
    const char* path;
    uint32_t job;
    sd_bus_message_enter_container(reply, 'a', "(ssssssouso)");
    while (sd_bus_message_read(reply, "(ssssssouso)", &unit, nullptr, nullptr, &active, &sub,
                               nullptr, &path, &job, nullptr, nullptr) > 0) {
        if (judge(w, unit, path, active, sub, job) && !firstNew) {
            firstNew = unit;
        }
        if (Troubled* entry = find(w, unit)) {
            entry->listed = true;
        }
    }
    // A unit no longer loaded has been reset and collected.
    for (int i = w.troubledCount - 1; i >= 0; --i) {
        if (!w.troubled[i].listed) {
            forget(w, &w.troubled[i]);
        }
    }
    if (firstNew) {
        showFailure(w, firstNew);
    } else {
        handBackIfNoneFailed(w);
    }
    sd_bus_message_unref(reply);
    return 0;
}

int managerAppeared(sd_bus_message* message, void* userdata, sd_bus_error* /*unused*/)
{
    const char* name;
    const char* before;
    const char* after;
    if (sd_bus_message_read(message, "sss", &name, &before, &after) >= 0 && after && *after) {
        readAll(*static_cast<Watcher*>(userdata));
    }
    return 0;
}

int connect(Watcher& w);

int reconnect(sd_event_source* /*unused*/, uint64_t /*unused*/, void* userdata)
{
    auto& w = *static_cast<Watcher*>(userdata);
    w.reconnect = sd_event_source_disable_unref(w.reconnect);
    if (connect(w) < 0) {
        uint64_t now = 0;
        sd_event_now(w.event, CLOCK_MONOTONIC, &now);
        sd_event_add_time(w.event, &w.reconnect, CLOCK_MONOTONIC, now + reconnectAfterUs,
                          timerAccuracyUs, reconnect, &w);
    }
    return 0;
}

// The bus went away (restarted): connect again, after a pause while it is gone.
int disconnected(sd_bus_message* /*unused*/, void* userdata, sd_bus_error* /*unused*/)
{
    auto& w = *static_cast<Watcher*>(userdata);
    say("the system bus went away: connecting again");
    if (!w.reconnect) {
        sd_event_add_time(w.event, &w.reconnect, CLOCK_MONOTONIC, 0, timerAccuracyUs, reconnect,
                          &w);
    }
    return 0;
}

int connect(Watcher& w)
{
    if (w.bus) {
        sd_bus_detach_event(w.bus);
        w.bus = sd_bus_flush_close_unref(w.bus);
    }
    int result = sd_bus_open_system(&w.bus);
    if (result >= 0) {
        result = sd_bus_attach_event(w.bus, w.event, SD_EVENT_PRIORITY_NORMAL);
    }
    // Unit states only: PropertiesChanged of systemd's Unit interface.
    if (result >= 0) {
        result = sd_bus_add_match(w.bus, nullptr,
                                  "type='signal',sender='org.freedesktop.systemd1',"
                                  "interface='org.freedesktop.DBus.Properties',"
                                  "member='PropertiesChanged',arg0='org.freedesktop.systemd1.Unit'",
                                  unitChanged, &w);
    }
    if (result >= 0) {
        result = sd_bus_match_signal(
            w.bus, nullptr, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
            "org.freedesktop.systemd1.Manager", "UnitRemoved", unitRemoved, &w);
    }
    // systemd back after daemon-reexec, or on a restarted bus.
    if (result >= 0) {
        result = sd_bus_add_match(w.bus, nullptr,
                                  "type='signal',sender='org.freedesktop.DBus',"
                                  "member='NameOwnerChanged',arg0='org.freedesktop.systemd1'",
                                  managerAppeared, &w);
    }
    if (result >= 0) {
        result =
            sd_bus_match_signal(w.bus, nullptr, nullptr, "/org/freedesktop/DBus/Local",
                                "org.freedesktop.DBus.Local", "Disconnected", disconnected, &w);
    }
    if (result < 0) {
        say("cannot connect to the system bus: %s", strerror(-result));
        return result;
    }
    return readAll(w);
}

// The holder's name in the lock, for another instance to say who shows.
void claim(int lock, const char* self)
{
    if (ftruncate(lock, 0) < 0 || pwrite(lock, self, strlen(self), 0) < 0) {
        say("cannot write %s: %s", lockPath, strerror(errno));
    }
}

// One failure light at a time: where another glow-degraded@ holds the
// lock, this one stands by until that one has ended.
struct Standby {
    Watcher* watcher;
    int lock;
    sd_event_source* watch;
};

int start(Watcher& w)
{
    if (connect(w) < 0) {
        return -1;
    }
    sd_notify(0, "READY=1\nSTATUS=Shows failed units");
    return 0;
}

int standbyCheck(sd_event_source* /*unused*/, const struct inotify_event* /*unused*/,
                 void* userdata)
{
    auto& standby = *static_cast<Standby*>(userdata);
    if (flock(standby.lock, LOCK_EX | LOCK_NB) < 0) {
        return 0;
    }
    standby.watch = sd_event_source_disable_unref(standby.watch);
    Watcher& w = *standby.watcher;
    claim(standby.lock, w.self);
    say("the other failure light has ended: this one shows failed units");
    if (start(w) < 0) {
        sd_event_exit(w.event, 1);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2 || strchr(argv[1], '/') || strlen(argv[1]) > 64) {
        fprintf(stderr, "usage: %s PROGRAM (the failure pattern's program)\n",
                program_invocation_short_name);
        return 2;
    }
    const char* program = argv[1];
    if (!inList(GLOW_PROGRAMS, program, false)) {
        fprintf(stderr, "%s: no such program: %s\n", program_invocation_short_name, program);
        return 2;
    }
    Watcher w = {};
    snprintf(w.failurePattern, sizeof w.failurePattern, "glow-failed@%s.service", program);
    snprintf(w.self, sizeof w.self, "glow-degraded@%s.service", program);
    const char* ignored = getenv("GLOW_IGNORED_UNITS");
    w.ignored = ignored ? ignored : "";

    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    if (sd_event_default(&w.event) < 0 ||
        sd_event_add_signal(w.event, nullptr, SIGTERM, nullptr, nullptr) < 0 ||
        sd_event_add_signal(w.event, nullptr, SIGINT, nullptr, nullptr) < 0) {
        fprintf(stderr, "%s: cannot set up its event loop\n", program_invocation_short_name);
        return 1;
    }

    mkdir("/run/glow-degraded", 0755);  // the unit's RuntimeDirectory=, when run by hand
    int lock = open(lockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock < 0) {
        fprintf(stderr, "%s: cannot open %s: %s\n", program_invocation_short_name, lockPath,
                strerror(errno));
        return 1;
    }
    Standby standby = {&w, lock, nullptr};
    if (flock(lock, LOCK_EX | LOCK_NB) == 0) {
        claim(lock, w.self);
        if (start(w) < 0) {
            return 1;
        }
    } else {
        char holder[unitNameMax] = {};
        if (pread(lock, holder, sizeof holder - 1, 0) <= 0) {
            strcpy(holder, "another glow-degraded@");
        }
        say("%s shows failed units already: this one stands by (disable one of the two)", holder);
        sd_notifyf(0, "READY=1\nSTATUS=Standing by: %s shows failed units", holder);
        // The holder's end closes its descriptor: then try again.
        if (sd_event_add_inotify(w.event, &standby.watch, lockPath, IN_CLOSE_WRITE, standbyCheck,
                                 &standby) < 0) {
            fprintf(stderr, "%s: cannot watch %s\n", program_invocation_short_name, lockPath);
            return 1;
        }
    }
    int status = sd_event_loop(w.event);
    return status < 0 ? 1 : status;
}
