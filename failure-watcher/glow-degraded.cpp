// glow-degraded PROGRAM: shows glow-failed@PROGRAM.service while any unit
// of the system is failed (those `systemctl --failed` lists) or a service
// is being restarted after a failure, and hands the LED back to the ready
// pattern (glow-ready.service) once none is. It only listens: systemd's
// unit signals on the system bus wake it, nothing else, and it changes no
// other unit. glow's own units never count, nor those GLOW_IGNORED_UNITS
// names (unit names or patterns as systemd matches them, separated by
// spaces).
//
// A unit counts from its failure until it has been active again for
// GLOW_RECOVERED_AFTER_S (10 s) without failing, or until it is stopped or
// reset: a crash loop quicker than that shows steadily. A pattern someone
// starts meanwhile stays.
#include "watcher_bus.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <systemd/sd-daemon.h>

namespace {

// The unit's RuntimeDirectory=, which systemd names in RUNTIME_DIRECTORY.
constexpr const char* runtimeFolderDefault = "/run/glow-degraded";
constexpr size_t pathMax = 4096;

// The holder's name in the lock, for another instance to say who shows.
void claim(int lock, const char* self)
{
    if (ftruncate(lock, 0) < 0 || pwrite(lock, self, strlen(self), 0) < 0) {
        say(priorityWarning, "cannot write the lock: %s", strerror(errno));
    }
}

// One failure light at a time: where another glow-degraded@ holds the
// lock, this one stands by until that one has ended.
struct Standby {
    Watcher* watcher;
    int lock;
    const char* self;
    sd_event_source* watch;
};

int start(Watcher& w)
{
    const int result = watcherStart(w);
    if (result == -ENOENT || result == -ECONNREFUSED) {
        say(priorityError, "no system bus to watch the units on (is dbus installed?)");
        return noBusStatus;
    }
    if (result < 0) {
        say(priorityError, "cannot connect to the system bus: %s", strerror(-result));
        return EXIT_FAILURE;
    }
    // Outside a unit there is no one to tell.
    (void)sd_notify(0, "READY=1\nSTATUS=Shows failed units");
    return 0;
}

// Takes the light where the lock is free; false while another holds it.
bool takeOver(Standby& standby)
{
    if (flock(standby.lock, LOCK_EX | LOCK_NB) < 0) {
        return false;
    }
    standby.watch = sd_event_source_disable_unref(standby.watch);
    claim(standby.lock, standby.self);
    say(priorityInfo, "the other failure light has ended: this one shows failed units");
    const int status = start(*standby.watcher);
    if (status != 0) {
        (void)sd_event_exit(standby.watcher->event, status);
    }
    return true;
}

int standbyCheck(sd_event_source* /*unused*/, const struct inotify_event* /*unused*/,
                 void* userdata)
{
    takeOver(*static_cast<Standby*>(userdata));
    return 0;
}

uint64_t recoveredAfterS()
{
    uint64_t seconds = recoveredAfterDefaultS;
    const char* setting = getenv("GLOW_RECOVERED_AFTER_S");
    if (setting && !parseRecoveredAfterS(setting, seconds)) {
        say(priorityWarning,
            "GLOW_RECOVERED_AFTER_S=%s is not a number of seconds from 1 to 86400: %llu used",
            setting, static_cast<unsigned long long>(recoveredAfterDefaultS));
    }
    return seconds;
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
    Watcher w = {};
    char self[unitNameMax];
    snprintf(w.failurePattern, sizeof w.failurePattern, "glow-failed@%s.service", program);
    const char* runtimeFolder = getenv("RUNTIME_DIRECTORY");
    runtimeFolder = runtimeFolder && *runtimeFolder ? runtimeFolder : runtimeFolderDefault;
    char lockPath[pathMax];
    snprintf(lockPath, sizeof lockPath, "%s/lock", runtimeFolder);
    snprintf(w.shownPath, sizeof w.shownPath, "%s/%s.shown", runtimeFolder, w.failurePattern);
    snprintf(self, sizeof self, "glow-degraded@%s.service", program);
    const char* ignored = getenv("GLOW_IGNORED_UNITS");
    rulesInit(w.rules, w.failurePattern, GLOW_PROGRAMS, ignored ? ignored : "",
              recoveredAfterS() * usPerS);
    if (!glowProgram(w.rules, program)) {
        fprintf(stderr, "%s: no such program: %s\n", program_invocation_short_name, program);
        return 2;
    }

    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    if (sd_event_default(&w.event) < 0 ||
        sd_event_add_signal(w.event, nullptr, SIGTERM, nullptr, nullptr) < 0 ||
        sd_event_add_signal(w.event, nullptr, SIGINT, nullptr, nullptr) < 0) {
        say(priorityError, "cannot set up its event loop");
        return 1;
    }

    mkdir(runtimeFolder, 0755);  // there already when systemd made it
    const int lock = open(lockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock < 0) {
        say(priorityError, "cannot open %s: %s", lockPath, strerror(errno));
        return 1;
    }
    Standby standby = {&w, lock, self, nullptr};
    if (flock(lock, LOCK_EX | LOCK_NB) == 0) {
        claim(lock, self);
        const int status = start(w);
        if (status != 0) {
            return status;
        }
    } else {
        char holder[unitNameMax] = {};
        if (pread(lock, holder, sizeof holder - 1, 0) <= 0) {
            strcpy(holder, "another glow-degraded@");
        }
        say(priorityInfo,
            "%s shows failed units already: this one stands by (disable one of the two)", holder);
        (void)sd_notifyf(0, "READY=1\nSTATUS=Standing by: %s shows failed units", holder);
        // The holder's end closes its descriptor: then try again. Tried once
        // more once watched, for a holder that ended before.
        if (sd_event_add_inotify(w.event, &standby.watch, lockPath, IN_CLOSE_WRITE, standbyCheck,
                                 &standby) < 0) {
            say(priorityError, "cannot watch %s", lockPath);
            return 1;
        }
        takeOver(standby);
    }
    const int status = sd_event_loop(w.event);
    rulesFree(w.rules);
    return status < 0 ? 1 : status;
}
