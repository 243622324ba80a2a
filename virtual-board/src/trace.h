#pragma once

// The virtual board's trace: one line per event, "<time µs> <kind> <words>",
// written as each event happens so that it survives a kill. With a keep
// limit only the first and the last events are written: the first as they
// happen, the last when the run ends by itself or at the virtual time limit.

#include <cstdint>
#include <initializer_list>

namespace trace {

enum class Kind : uint8_t { call, level, sched, misuse, fatal, end, exit };

struct Event {
    int64_t timeUs = 0;
    Kind kind = Kind::call;
    // call, fatal: the call's name; sched: the policy; misuse: its code; end: the signal
    const char* name = nullptr;
    const char* detail = nullptr;  // misuse: the call; fatal: the reason
    int64_t numbers[3] = {};
    uint8_t count = 0;
    bool hasResult = false;
    int result = 0;
};

Event make(int64_t timeUs, Kind kind, const char* name, std::initializer_list<int64_t> numbers);

// wiring goes into the first line as it is ("led=4 active=high"). keepEvents
// 0: every event. Exits the process with a one-line message if the file
// cannot be written.
void openOrExit(const char* path, const char* clock, const char* wiring, int64_t keepEvents);
bool enabled();
// From the first call on, records may come from several threads.
void allowThreads();
void record(const Event& event);
// Writes the kept last events, if any; for the end of the run.
void flush();

}  // namespace trace
