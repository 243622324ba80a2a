// The virtual board itself: its channel's scheduling, its virtual clock, its
// failures and settings, the misuse it flags, and its trace format. The
// emulation's timing has a suite of its own.

#include "support/board_process.h"
#include "support/trace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

#include <sys/resource.h>
#include <unistd.h>

namespace {

using std::chrono::milliseconds;

struct MisuseCase {
    std::string name;
    std::string script;
    std::string flag;  // empty: the script is sound and nothing may be flagged
};

void PrintTo(const MisuseCase& misuse, std::ostream* out)
{
    *out << misuse.name;
}

class Misuse : public testing::TestWithParam<MisuseCase> {};

INSTANTIATE_TEST_SUITE_P(
    Board, Misuse,
    testing::Values(
        MisuseCase{"SoundUse", "setup mode 4 1 create 4 1 100 write 4 0 write 4 100 delay 5", ""},
        MisuseCase{"CallBeforeSetup", "mode 4 1", "before-setup"},
        MisuseCase{"WriteBeforeChannel", "setup mode 4 1 write 4 50", "no-channel"},
        MisuseCase{"WriteToOtherPin", "setup create 4 1 100 write 5 1", "no-channel"},
        MisuseCase{"SecondChannelOnPin", "setup create 4 1 100 create 4 1 100", "channel-exists"},
        MisuseCase{"PinOutsideTheBoard", "setup mode 70 1", "bad-pin"},
        MisuseCase{"EmptyRange", "setup create 4 0 0", "bad-range"},
        MisuseCase{"PlainWriteOfAPin", "setup digital 4 1 mode 4 1 digital 4 0", ""},
        MisuseCase{"PlainWriteBesideItsChannel", "setup create 4 1 100 digital 4 0",
                   "channel-running"},
        MisuseCase{"PlainWriteOfNoLevel", "setup digital 4 2", "bad-level"}),
    [](const auto& info) { return info.param.name; });

TEST_P(Misuse, IsFlaggedInTheTrace)
{
    const FinishedRun run = driveBoard(GetParam().script);
    EXPECT_TRUE(exitedWith(run.waitStatus, 0)) << describeEnd(run.waitStatus);
    const std::vector<TraceEvent> misuses = run.trace.ofKind("misuse");
    if (GetParam().flag.empty()) {
        EXPECT_EQ(run.trace.misuseReport(), "");
    } else {
        ASSERT_FALSE(misuses.empty());
        EXPECT_EQ(misuses[0].words.at(0), GetParam().flag) << misuses[0].line;
    }
}

TEST(BoardChannel, RefusesASecondChannelOnTheSamePin)
{
    const FinishedRun run = driveBoard("setup create 4 1 100 create 4 5 100");
    const std::vector<TraceEvent> calls = run.trace.ofKind("call");
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].result, 0);
    EXPECT_EQ(calls[2].result, -1);
}

// The channel thread asks for SCHED_RR as wiringPi's does and goes on at
// normal priority when refused; the trace says which it got.
TEST(BoardChannel, TracesTheSchedulingItsThreadGot)
{
    const auto schedOf = [](bool realTimeAllowed) {
        const FinishedRun run =
            driveBoard("setup create 4 50 100 delay 50",
                       {.virtualTime = false, .realTimeAllowed = realTimeAllowed});
        EXPECT_TRUE(exitedWith(run.waitStatus, 0)) << describeEnd(run.waitStatus) << run.errors;
        const std::vector<TraceEvent> sched = run.trace.ofKind("sched");
        EXPECT_EQ(sched.size(), 1u);
        return sched.empty() ? std::string() : sched[0].line.substr(sched[0].line.find(' ') + 1);
    };
    EXPECT_EQ(schedOf(false), "sched SCHED_OTHER 4 0");
    // Root may always have real-time priority; an ordinary user only with a limit.
    rlimit limit{};
    getrlimit(RLIMIT_RTPRIO, &limit);
    if (geteuid() != 0 && limit.rlim_cur < 90) {
        GTEST_SKIP() << "no real-time priority to be had here";
    }
    EXPECT_EQ(schedOf(true), "sched SCHED_RR 4 90");
}

// GLOW_BOARD_STALL makes the schedules a loaded board may give the channel's
// thread: none at all after it started, or none after it lit the LED. A
// channel made at duty 1 and written dark, then held two cycles, is left
// lit by the second in either polarity, by the first where a low pin
// lights the LED (the channel is made by driving the pin low).
TEST(BoardChannel, AStalledThreadLeavesThePinAsItLastDroveIt)
{
    const Wiring wiring = builtWiring();
    const int lit = wiring.activeLow ? 0 : 1;
    const std::string pin = std::to_string(wiring.pin);
    // The channel made at duty 1 and written dark, as this build's programs write them.
    const std::string script =
        wiring.activeLow ? "setup create " + pin + " 99 100 write " + pin + " 100 delay 20"
                         : "setup create " + pin + " 1 100 write " + pin + " 0 delay 20";
    for (const auto& [stall, leftLit] :
         {std::pair{"first-cycle", wiring.activeLow}, std::pair{"lit-write", true}}) {
        SCOPED_TRACE(stall);
        const FinishedRun run =
            driveBoard(script, {.virtualTime = false,
                                .extraEnvironment = {std::string("GLOW_BOARD_STALL=") + stall}});
        EXPECT_TRUE(exitedWith(run.waitStatus, 0)) << describeEnd(run.waitStatus) << run.errors;
        const std::vector<TraceEvent> levels = run.trace.ofKind("level");
        ASSERT_FALSE(levels.empty());
        EXPECT_EQ(levels.back().numbers.at(1) == lit, leftLit) << levels.back().line;
    }
}

TEST(VirtualClock, SleepsAdvanceItExactlyAndCostNoRealTime)
{
    const auto startedAt = std::chrono::steady_clock::now();
    const FinishedRun run = driveBoard("setup delay 1500 usleep 250000 delay 3600000");
    const auto realTime = std::chrono::steady_clock::now() - startedAt;

    EXPECT_TRUE(exitedWith(run.waitStatus, 0)) << describeEnd(run.waitStatus);
    EXPECT_EQ(run.trace.misuseReport(), "");
    std::vector<std::pair<std::string, int64_t>> timeline;
    for (const TraceEvent& event : run.trace.events) {
        timeline.emplace_back(event.kind == "call" ? event.words.at(0) : event.kind, event.timeUs);
    }
    const std::vector<std::pair<std::string, int64_t>> expected = {{"wiringPiSetup", 0},
                                                                   {"delay", 0},
                                                                   {"usleep", 1500000},
                                                                   {"delay", 1750000},
                                                                   {"exit", 3601750000}};
    EXPECT_EQ(timeline, expected);
    EXPECT_LT(realTime, std::chrono::seconds(10)) << "an hour of virtual sleep took real time";
}

TEST(VirtualClock, EndsTheRunBySigtermOncePastTheLimit)
{
    const FinishedRun run = driveBoard("setup delay 600 delay 600 delay 600", {.limitMs = 1000});

    EXPECT_TRUE(killedBy(run.waitStatus, SIGTERM)) << describeEnd(run.waitStatus);
    ASSERT_FALSE(run.trace.events.empty());
    const TraceEvent& last = run.trace.events.back();
    EXPECT_EQ(last.kind, "end");
    EXPECT_EQ(last.timeUs, 1000000);
    EXPECT_EQ(run.trace.ofKind("call").size(), 3u) << "no call after the limit";
}

TEST(VirtualClock, FlagsAMissingUsleepInterposer)
{
    const FinishedRun run = driveBoard("setup", {.preloadUsleep = false});
    const std::vector<TraceEvent> misuses = run.trace.ofKind("misuse");
    ASSERT_EQ(misuses.size(), 1u);
    EXPECT_EQ(misuses[0].words.at(0), "usleep-not-interposed");
}

TEST(BoardSettings, RejectsBadValuesWithOneLine)
{
    for (const char* setting : {"GLOW_BOARD_CLOCK=sometimes", "GLOW_BOARD_FAIL=everything",
                                "GLOW_BOARD_LIMIT_MS=soon", "GLOW_BOARD_TRACE_KEEP=-1",
                                "GLOW_BOARD_TRACE_LEVELS=maybe", "GLOW_BOARD_STALL=sometimes"}) {
        SCOPED_TRACE(setting);
        const FinishedRun run = driveBoard("setup", {.extraEnvironment = {setting}});
        EXPECT_TRUE(exitedWith(run.waitStatus, 2)) << describeEnd(run.waitStatus);
        EXPECT_EQ(std::count(run.errors.begin(), run.errors.end(), '\n'), 1) << run.errors;
        EXPECT_EQ(run.errors.rfind("virtual board: bad ", 0), 0u) << run.errors;
    }
}

// The trace tool is held to the same sample lines.
TEST(TraceFormat, ReaderTakesEverySampleLineAsTheBoardDocumentsIt)
{
    std::ifstream samples(GLOW_TRACE_SAMPLES);
    ASSERT_TRUE(samples) << GLOW_TRACE_SAMPLES;
    int checked = 0;
    for (std::string sample; std::getline(samples, sample);) {
        if (sample.empty() || sample[0] == '#') {
            continue;
        }
        const size_t arrow = sample.find(" => ");
        const std::string line = sample.substr(0, arrow);
        const std::string expected = sample.substr(arrow + 4);
        std::string got = "error";
        try {
            const TraceEvent event = parseTraceLine(line);
            const auto join = [](const auto& items) {
                std::ostringstream text;
                for (size_t index = 0; index < items.size(); ++index) {
                    text << (index ? "," : "") << items[index];
                }
                return text.str();
            };
            got = std::to_string(event.timeUs) + " " + event.kind + " [" + join(event.words) +
                  "] [" + join(event.numbers) + "] " +
                  (event.result ? std::to_string(*event.result) : "-");
        } catch (const std::runtime_error&) {
        }
        EXPECT_EQ(got, expected) << line;
        ++checked;
    }
    EXPECT_GT(checked, 20);
}

}  // namespace
