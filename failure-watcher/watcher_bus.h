#pragma once

// The failure light's bus side: one subscription to systemd's signals per
// connection, the whole state read again where signals may have been
// missed, and the failure and ready patterns started and stopped as the
// rules decide.

#include "failure_rules.h"

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

constexpr const char* systemdName = "org.freedesktop.systemd1";
constexpr const char* managerPath = "/org/freedesktop/systemd1";
constexpr const char* managerInterface = "org.freedesktop.systemd1.Manager";

// The exit status of a watcher that finds no system bus at its start: its
// unit does not restart it for that.
constexpr int noBusStatus = 3;

struct Watcher {
    FailureRules rules;
    char failurePattern[unitNameMax];
    char shownPath[4096 + unitNameMax];  // there while the light shown is this watcher's
    sd_event* event;
    sd_bus* bus;
    sd_event_source* reconnectTimer;
    sd_event_source* rereadTimer;
    sd_event_source* settleTimer;
    char manager[64];       // systemd's unique name on the bus, as it last answered
    Verdict unfinished;     // one whose calls were lost, done again after the next read
    bool subscribed;        // on this connection
    bool managerReloading;  // it said so, and not yet that it is done
    bool managerSettling;   // re-executed, and not read since
    bool readOnceMore;      // re-executed and read: once more, a while later
    bool reading;           // a listing is asked for
    bool readAgain;         // and another wanted once it has come
    bool shownOnDisk;
};

// Connects, subscribes and reads the whole state. Negative where it cannot:
// -ENOENT or -ECONNREFUSED when there is no system bus at all.
int watcherStart(Watcher& w);

// Between the watcher's own files: the loop's clock; why a call failed (the
// bus's error, else the result's); a one-shot timer, made on first use and
// set anew after (false, the loop ended, where sd-event refuses); and what
// the rules decided, done (watcher_light.cpp).
uint64_t now(const Watcher& w);
const char* reason(const sd_bus_error& error, int result);
bool armTimer(Watcher& w, sd_event_source*& timer, uint64_t atUs, sd_event_time_handler_t handler);
void act(Watcher& w, Verdict verdict, const char* unit);
void rereadLater(Watcher& w, uint64_t afterUs);

enum Priority { priorityError = 3, priorityWarning = 4, priorityInfo = 6 };
// One line on stderr, with its journal priority where the journal reads it.
void say(Priority priority, const char* format, ...) __attribute__((format(printf, 2, 3)));
