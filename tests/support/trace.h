#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// One line of a virtual board trace: "<time µs> <kind> <words and numbers>".
struct TraceEvent {
    int64_t timeUs = 0;
    std::string kind;  // call, level, misuse, end, exit
    // call: its name; sched: the policy; misuse: code, call; fatal: call, reason; end: signal
    std::vector<std::string> words;
    std::vector<long long> numbers;  // call: its arguments; level: pin, level; sched: pin, priority
    std::optional<long long> result;
    std::string line;

    bool isCall(const char* name) const { return kind == "call" && words.at(0) == name; }
};

struct Trace {
    std::vector<TraceEvent> events;
    // A trace that keeps only its first and last events says how many it
    // left out between them, and where: events[keptHead] is the first of the
    // last ones.
    long long skippedEvents = 0;
    size_t keptHead = 0;
    long long pulseUs = 0;  // the soft-PWM step the first line names

    std::vector<TraceEvent> ofKind(const std::string& kind) const;
    // The first channel's cycle: its range in steps; 0 if none was created.
    int64_t pwmCycleUs() const;
    std::string misuseReport() const;  // empty when the run flagged no misuse
};

// One line of a trace; throws std::runtime_error if it is malformed.
TraceEvent parseTraceLine(const std::string& line);

// Throws std::runtime_error on a malformed line. A live trace may end in a
// line that is still being written; partialTailAllowed drops it.
Trace readTrace(const std::string& path, bool partialTailAllowed = false);

// A duty write or a sleep, the two things a pattern consists of.
struct Step {
    enum Kind { write, delayMs, usleepUs } kind;
    long long value;
    int64_t timeUs = 0;

    int64_t sleepUs() const;
    std::string describe() const;
    bool sameAs(const Step& other) const { return kind == other.kind && value == other.value; }
};

// The writes and sleeps after set-up; a call of any other kind is reported.
std::vector<Step> patternSteps(const Trace& trace);
// The same for a stretch of events that lies wholly after set-up.
std::vector<Step> stepsOf(std::vector<TraceEvent>::const_iterator begin,
                          std::vector<TraceEvent>::const_iterator end);

// Checks that steps are cycle repeated over and over from startUs, each step
// at the time that the sleeps before it add up to (virtual time), with at
// least minCycles whole cycles; the run may end part-way through a cycle.
testing::AssertionResult followsCycle(const std::vector<Step>& steps,
                                      const std::vector<Step>& cycle, int64_t startUs,
                                      size_t minCycles);
