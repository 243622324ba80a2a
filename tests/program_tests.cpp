// The programs, run as built on the virtual board, checked against
// their traces: set-up, every write and sleep of their patterns, how they end,
// and what they do when GPIO cannot be had.

#include "support/board_process.h"
#include "support/trace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <random>
#include <thread>

namespace {

using std::chrono::milliseconds;

constexpr int64_t soakCycles = 300;
// A million on the build machine; fewer where an emulator runs the tests.
constexpr int64_t millionCycles = GLOW_SOAK_CYCLES;

std::vector<Step> breathCycle()
{
    std::vector<Step> cycle;
    for (int duty = 0; duty <= 100; ++duty) {
        cycle.push_back({Step::write, duty});
        cycle.push_back({Step::delayMs, 10});
    }
    for (int duty = 100; duty >= 0; --duty) {
        cycle.push_back({Step::write, duty});
        cycle.push_back({Step::delayMs, 10});
    }
    cycle.push_back({Step::delayMs, 1000});
    return cycle;
}

std::vector<Step> burstCycle(int flashes)
{
    std::vector<Step> cycle;
    for (int flash = 0; flash < flashes; ++flash) {
        cycle.push_back({Step::write, 100});
        cycle.push_back({Step::usleepUs, 200000});
        cycle.push_back({Step::write, 0});
        cycle.push_back({Step::usleepUs, 150000});
    }
    cycle.push_back({Step::delayMs, 1000});
    return cycle;
}

int64_t cycleLengthUs(const std::vector<Step>& cycle)
{
    int64_t total = 0;
    for (const Step& step : cycle) {
        total += step.sleepUs();
    }
    return total;
}

// How many writes and sleeps a program makes before its sleep passes limitUs.
long long stepsUntil(const std::vector<Step>& cycle, int64_t limitUs)
{
    const int64_t wholeCycles = limitUs / cycleLengthUs(cycle);
    long long steps = wholeCycles * static_cast<long long>(cycle.size());
    int64_t timeUs = wholeCycles * cycleLengthUs(cycle);
    for (size_t index = 0;; index = (index + 1) % cycle.size()) {
        ++steps;
        timeUs += cycle[index].sleepUs();
        if (timeUs > limitUs) {
            return steps;
        }
    }
}

// A pattern's steps as the channel gets them from this build: each duty
// mirrored where a low pin lights the LED.
std::vector<Step> onPin(std::vector<Step> steps)
{
    for (Step& step : steps) {
        if (step.kind == Step::write && builtWiring().activeLow) {
            step.value = 100 - step.value;
        }
    }
    return steps;
}

// What every run must show, whatever the program: silence and no misuse.
void expectCleanRun(const FinishedRun& run)
{
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.errors, "");
    EXPECT_EQ(run.trace.misuseReport(), "");
}

void expectSetupSequence(const Trace& trace)
{
    const std::vector<TraceEvent> calls = trace.ofKind("call");
    ASSERT_GE(calls.size(), 4u);
    const long long pin = builtWiring().pin;
    const long long initial = onPin({{Step::write, 1}})[0].value;
    EXPECT_TRUE(calls[0].isCall("wiringPiSetup") && calls[0].numbers.empty()) << calls[0].line;
    EXPECT_TRUE(calls[1].isCall("pinMode") && calls[1].numbers == std::vector<long long>({pin, 1}))
        << calls[1].line;
    EXPECT_TRUE(calls[2].isCall("softPwmCreate") &&
                calls[2].numbers == std::vector<long long>({pin, initial, 100}))
        << calls[2].line;
    EXPECT_TRUE(calls[3].isCall("softPwmWrite")) << "first call after set-up: " << calls[3].line;
}

struct LoopingPattern {
    std::string program;
    std::vector<Step> cycle;
};

void PrintTo(const LoopingPattern& pattern, std::ostream* out)
{
    *out << pattern.program;
}

class LoopingProgram : public testing::TestWithParam<LoopingPattern> {};

INSTANTIATE_TEST_SUITE_P(Patterns, LoopingProgram,
                         testing::Values(LoopingPattern{"glowbreathe", breathCycle()},
                                         LoopingPattern{"glowtwice", burstCycle(2)},
                                         LoopingPattern{"glowfive", burstCycle(5)}),
                         [](const auto& info) { return info.param.program; });

// Hundreds of cycles in virtual time: every write and every sleep, in order
// and at its exact time, and the run ends only by the SIGTERM at the limit.
TEST_P(LoopingProgram, RepeatsItsExactCycleUntilTerminated)
{
    const LoopingPattern& pattern = GetParam();
    const int64_t cycleUs = cycleLengthUs(pattern.cycle);
    // End part-way through a cycle, as an outside signal would.
    const long long limitMs = (soakCycles * cycleUs + cycleUs / 3) / 1000;
    const FinishedRun run =
        runOnBoard(programPath(pattern.program), {.limitMs = limitMs}, milliseconds(30000));

    expectCleanRun(run);
    EXPECT_TRUE(killedBy(run.waitStatus, SIGTERM)) << describeEnd(run.waitStatus);
    ASSERT_FALSE(run.trace.events.empty());
    EXPECT_EQ(run.trace.events.back().kind, "end") << run.trace.events.back().line;
    expectSetupSequence(run.trace);
    EXPECT_TRUE(followsCycle(patternSteps(run.trace), onPin(pattern.cycle), 0, size_t{soakCycles}));
}

// A million cycles in virtual time, of which the board keeps the first and
// the last events: the last whole cycle is the first one again, every write
// and every sleep, and no event was lost or added in between.
TEST_P(LoopingProgram, MillionthCycleIsTheFirstAgain)
{
    const std::vector<Step> cycle = onPin(GetParam().cycle);
    const int64_t cycleUs = cycleLengthUs(cycle);
    const long long limitMs = (millionCycles * cycleUs + cycleUs / 3) / 1000;
    const auto keep = static_cast<std::ptrdiff_t>(3 * cycle.size());
    const FinishedRun run = runOnBoard(
        programPath(GetParam().program),
        {.limitMs = limitMs, .extraEnvironment = {"GLOW_BOARD_TRACE_KEEP=" + std::to_string(keep)}},
        std::chrono::minutes(10));

    expectCleanRun(run);
    EXPECT_TRUE(killedBy(run.waitStatus, SIGTERM)) << describeEnd(run.waitStatus);
    const Trace& trace = run.trace;
    ASSERT_EQ(trace.keptHead, static_cast<size_t>(keep));
    ASSERT_GE(trace.events.size(), static_cast<size_t>(2 * keep));
    const long long setupAndEnd = 4;
    EXPECT_EQ(static_cast<long long>(trace.events.size()) + trace.skippedEvents,
              setupAndEnd + stepsUntil(cycle, limitMs * 1000));

    const auto events = trace.events.begin();
    EXPECT_TRUE(followsCycle(stepsOf(events + 3, events + keep), cycle, 0, 2));
    const std::vector<Step> tail = stepsOf(events + keep, trace.events.end());
    const auto lastCycles = std::find_if(tail.begin(), tail.end(), [&](const Step& step) {
        return step.timeUs % cycleUs == 0 && step.sameAs(cycle[0]);
    });
    ASSERT_NE(lastCycles, tail.end());
    EXPECT_GE(lastCycles->timeUs / cycleUs, millionCycles - 2);
    EXPECT_TRUE(followsCycle({lastCycles, tail.end()}, cycle, lastCycles->timeUs, 1));
    EXPECT_EQ(trace.events.back().kind, "end");
}

TEST_P(LoopingProgram, IgnoresItsArguments)
{
    const LoopingPattern& pattern = GetParam();
    const long long limitMs = 3 * cycleLengthUs(pattern.cycle) / 1000;
    const FinishedRun plain = runOnBoard(programPath(pattern.program), {.limitMs = limitMs});
    const FinishedRun withArguments = runOnBoard(
        programPath(pattern.program), {.args = {"--help", "-v", "5", "0"}, .limitMs = limitMs});

    expectCleanRun(withArguments);
    const std::vector<Step> expected = patternSteps(plain.trace);
    const std::vector<Step> actual = patternSteps(withArguments.trace);
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t index = 0; index < expected.size(); ++index) {
        ASSERT_TRUE(actual[index].sameAs(expected[index]) &&
                    actual[index].timeUs == expected[index].timeUs)
            << "expected " << expected[index].describe() << ", got " << actual[index].describe();
    }
}

// In real time, each terminating signal ends the program by its default
// action wherever in the cycle it arrives, promptly and silently. Several
// runs for each signal, all at once, each signalled at a random point of
// one cycle.
TEST_P(LoopingProgram, EndsByEachTerminatingSignalsDefaultAction)
{
    constexpr int runsPerSignal = 8;
    const int64_t cycleUs = cycleLengthUs(GetParam().cycle);
    const char* seedSetting = std::getenv("GLOW_TEST_SEED");
    const auto seed = seedSetting ? static_cast<std::mt19937::result_type>(std::stoul(seedSetting))
                                  : std::random_device{}();
    SCOPED_TRACE("signal points from seed " + std::to_string(seed) +
                 "; GLOW_TEST_SEED=" + std::to_string(seed) + " replays them");
    std::mt19937 random(seed);
    std::uniform_int_distribution<int64_t> pointUs(0, cycleUs);
    const auto wroteOnce = [](const Trace& trace) {
        return std::any_of(trace.events.begin(), trace.events.end(),
                           [](const TraceEvent& event) { return event.isCall("softPwmWrite"); });
    };
    struct Run {
        int signal;
        int64_t pointUs;
        std::unique_ptr<BoardProcess> process;
    };
    std::vector<Run> runs;
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        for (int run = 0; run < runsPerSignal; ++run) {
            runs.push_back({signal, pointUs(random),
                            std::make_unique<BoardProcess>(programPath(GetParam().program),
                                                           BoardSettings{.virtualTime = false})});
        }
    }
    for (Run& run : runs) {
        ASSERT_TRUE(run.process->waitForTrace(wroteOnce, milliseconds(10000)))
            << "no duty write within 10 s";
    }
    std::sort(runs.begin(), runs.end(),
              [](const Run& a, const Run& b) { return a.pointUs < b.pointUs; });
    const auto start = std::chrono::steady_clock::now();
    for (Run& run : runs) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(run.pointUs));
        run.process->sendSignal(run.signal);
    }
    for (Run& run : runs) {
        SCOPED_TRACE(strsignal(run.signal));
        ASSERT_TRUE(run.process->waitForEnd(milliseconds(5000)))
            << "still running 5 s after the signal";
        EXPECT_TRUE(killedBy(run.process->waitStatus(), run.signal))
            << describeEnd(run.process->waitStatus());
        EXPECT_EQ(run.process->output(), "");
        EXPECT_EQ(run.process->errors(), "");
    }
}

TEST(FullGlow, WritesFullOnceHoldsOneSecondAndExitsZero)
{
    const FinishedRun run = runOnBoard(programPath("glowfull"), {.args = {"--now", "x"}});

    expectCleanRun(run);
    EXPECT_TRUE(exitedWith(run.waitStatus, 0)) << describeEnd(run.waitStatus);
    expectSetupSequence(run.trace);
    const std::vector<Step> steps = patternSteps(run.trace);
    EXPECT_TRUE(followsCycle(steps, onPin({{Step::write, 100}, {Step::delayMs, 1000}}), 0, 1));
    EXPECT_EQ(steps.size(), 2u);
    // Nothing touches the channel or the pin between the hold and the exit.
    ASSERT_FALSE(run.trace.events.empty());
    const TraceEvent& last = run.trace.events.back();
    EXPECT_EQ(last.kind, "exit");
    EXPECT_EQ(last.timeUs, 1000000);
    EXPECT_TRUE(run.trace.events[run.trace.events.size() - 2].isCall("delay"));
}

// How a program's real-time run ended, from its trace: when it last wrote
// and when it exited.
struct RealTimeEnd {
    int64_t writeUs = -1;
    int64_t exitUs = -1;
};

RealTimeEnd realTimeEnd(const Trace& trace)
{
    RealTimeEnd end;
    for (const TraceEvent& event : trace.events) {
        if (event.isCall("softPwmWrite")) {
            end.writeUs = event.timeUs;
        } else if (event.kind == "exit") {
            end.exitUs = event.timeUs;
        }
    }
    return end;
}

TEST(FullGlow, ExitsAboutOneSecondAfterItsWriteInRealTime)
{
    const FinishedRun run =
        runOnBoard(programPath("glowfull"), {.virtualTime = false}, milliseconds(20000));

    expectCleanRun(run);
    EXPECT_TRUE(exitedWith(run.waitStatus, 0)) << describeEnd(run.waitStatus);
    const RealTimeEnd end = realTimeEnd(run.trace);
    ASSERT_NE(end.writeUs, -1);
    ASSERT_NE(end.exitUs, -1);
    const int64_t heldUs = end.exitUs - end.writeUs;
    EXPECT_GE(heldUs, 1000000);
    EXPECT_LT(heldUs, 3000000) << "generous bound for a busy machine";
}

// The pin's last level before the exit, -1 where none was driven.
int lastLevel(const Trace& trace)
{
    const std::vector<TraceEvent> levels = trace.ofKind("level");
    return levels.empty() ? -1 : static_cast<int>(levels.back().numbers.at(1));
}

int darkLevel()
{
    return builtWiring().activeLow ? 1 : 0;
}

// One plain write of the dark level, latched before the pin becomes an
// output, and no channel whose thread could light the pin afterwards.
TEST(DarkLed, WritesThePinDarkOnceAndExitsZero)
{
    const FinishedRun run = runOnBoard(programPath("glowoff"), {.args = {"--now"}});

    expectCleanRun(run);
    EXPECT_TRUE(exitedWith(run.waitStatus, 0)) << describeEnd(run.waitStatus);
    std::vector<std::string> calls;
    for (const TraceEvent& event : run.trace.ofKind("call")) {
        calls.push_back(event.line.substr(event.line.find(' ') + 1));
    }
    const std::string pin = std::to_string(builtWiring().pin);
    EXPECT_EQ(calls, std::vector<std::string>(
                         {"call wiringPiSetup = 0",
                          "call digitalWrite " + pin + " " + std::to_string(darkLevel()),
                          "call pinMode " + pin + " 1"}));
    EXPECT_EQ(lastLevel(run.trace), darkLevel());
    ASSERT_FALSE(run.trace.events.empty());
    EXPECT_EQ(run.trace.events.back().kind, "exit");
}

// Whatever schedule a loaded board gives a channel's thread (none after
// its start, none after it lit the pin), the LED is dark when glowoff ends.
TEST(DarkLed, EndsDarkHoweverAChannelThreadWouldBeScheduled)
{
    for (const char* stall : {"first-cycle", "lit-write"}) {
        SCOPED_TRACE(stall);
        const FinishedRun run = runOnBoard(
            programPath("glowoff"),
            {.virtualTime = false, .extraEnvironment = {std::string("GLOW_BOARD_STALL=") + stall}},
            milliseconds(20000));
        expectCleanRun(run);
        EXPECT_TRUE(exitedWith(run.waitStatus, 0)) << describeEnd(run.waitStatus);
        EXPECT_EQ(lastLevel(run.trace), darkLevel());
    }
}

// Each way the set-up can fail on a board, as wiringPi reports it: by
// exiting with its own explanation inside wiringPiSetup, or by a result that
// the program must take for a failure and report in its own line.
struct SetupOutcome {
    std::string name;
    std::string fail;
    bool wiringPiCodes;
    std::string programLine;  // the program's own message after its name; empty: wiringPi's
    std::string gpioDevice;   // not injected: the board cannot open this device
};

void PrintTo(const SetupOutcome& outcome, std::ostream* out)
{
    *out << outcome.name;
}

const std::string noGpioLine = "cannot set up GPIO access";
const std::string noChannelLine =
    "cannot start the soft-PWM channel on pin " + std::to_string(builtWiring().pin);
const std::string noDevice = "/nonexistent/gpiomem";

class SetupFailure : public testing::TestWithParam<std::tuple<std::string, SetupOutcome>> {};

INSTANTIATE_TEST_SUITE_P(
    AllPrograms, SetupFailure,
    testing::Combine(
        testing::ValuesIn(builtPrograms()),
        testing::Values(
            SetupOutcome{"GpioAccessExitsInWiringPi", "gpio-access", false, ""},
            SetupOutcome{"GpioAccessReturnedWithCodes", "gpio-access", true, noGpioLine},
            SetupOutcome{"UnknownBoardExitsInWiringPi", "board-model", false, ""},
            SetupOutcome{"UnknownBoardExitsEvenWithCodes", "board-model", true, ""},
            SetupOutcome{"ChannelRefused", "channel-refused", false, noChannelLine},
            SetupOutcome{"ChannelThreadCannotStart", "channel-thread", false, noChannelLine},
            SetupOutcome{"NoGpioDeviceExitsInWiringPi", "gpio-access", false, "", noDevice},
            SetupOutcome{"NoGpioDeviceReturnedWithCodes", "gpio-access", true, noGpioLine,
                         noDevice})),
    [](const auto& info) { return std::get<0>(info.param) + "_" + std::get<1>(info.param).name; });

// A failed set-up never passes for a running pattern: status 1, nothing
// written to the channel, nothing lit, and something said on stderr. Where
// GPIO access was had, the pin is left driven dark. Real time, so that the
// board drives the pin as wiringPi does while it makes a channel.
TEST_P(SetupFailure, ExitsOneWithoutLightingAnything)
{
    const std::string& program = std::get<0>(GetParam());
    const SetupOutcome& outcome = std::get<1>(GetParam());
    const bool channelFailure = outcome.fail.rfind("channel-", 0) == 0;
    if (channelFailure && program == "glowoff") {
        GTEST_SKIP() << "glowoff makes no channel";
    }
    BoardSettings settings{.virtualTime = false, .wiringPiCodes = outcome.wiringPiCodes};
    if (outcome.gpioDevice.empty()) {
        settings.fail = outcome.fail;
    } else {
        settings.extraEnvironment = {"GLOW_BOARD_GPIO_DEVICE=" + outcome.gpioDevice};
    }
    const FinishedRun run = runOnBoard(programPath(program), settings, milliseconds(20000));

    EXPECT_TRUE(exitedWith(run.waitStatus, 1)) << describeEnd(run.waitStatus);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.trace.misuseReport(), "");
    EXPECT_EQ(lastLevel(run.trace), channelFailure ? darkLevel() : -1);
    for (const TraceEvent& event : run.trace.events) {
        EXPECT_FALSE(event.isCall("softPwmWrite")) << event.line;
    }
    if (outcome.programLine.empty()) {
        EXPECT_NE(run.errors, "") << "wiringPi explains why it stops";
        EXPECT_EQ(run.errors.find(program + ":"), std::string::npos) << run.errors;
        ASSERT_EQ(run.trace.ofKind("fatal").size(), 1u);
        EXPECT_EQ(run.trace.ofKind("fatal")[0].words,
                  std::vector<std::string>({"wiringPiSetup", outcome.fail}));
    } else {
        EXPECT_EQ(run.errors, program + ": " + outcome.programLine + "\n");
    }
}

}  // namespace
