// The virtual board itself: its soft-PWM emulation in real time (with bounds
// generous enough for a busy machine), its virtual clock, and the misuse it
// flags.

#include "support/board_process.h"
#include "support/trace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <sstream>

#include <sys/resource.h>
#include <unistd.h>

namespace {

using std::chrono::milliseconds;

// Time a written value may take to show: one 10 ms cycle plus room for a
// loaded machine's scheduling.
constexpr int64_t settleUs = 10000 + 40000;

// A driver script written as one line: "setup create 4 1 100 write 4 50".
std::vector<std::string> words(const std::string& script)
{
    std::istringstream stream(script);
    return {std::istream_iterator<std::string>(stream), std::istream_iterator<std::string>()};
}

FinishedRun drive(std::vector<std::string> script, BoardSettings settings = {})
{
    settings.args = std::move(script);
    return runOnBoard(GLOW_BOARD_DRIVER, settings);
}

struct Edge {
    int64_t timeUs;
    int level;
};

int64_t median(std::vector<int64_t> values)
{
    if (values.empty()) {
        return -1;
    }
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// The real-time run shared by the emulation tests: one duty value after
// another, each held long enough for many cycles.
class SoftPwmEmulation : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        run_ = new FinishedRun(drive(words("setup mode 4 1 create 4 1 100 "
                                           "write 4 0 delay 300 "
                                           "write 4 100 delay 300 "
                                           "write 4 30 delay 600 "
                                           "write 4 70 delay 600 "
                                           "write 4 150 delay 300 "
                                           "write 4 -5 delay 300"),
                                     {.virtualTime = false}));
    }
    static void TearDownTestSuite() { delete run_; }

    void SetUp() override
    {
        ASSERT_TRUE(exitedWith(run_->waitStatus, 0)) << describeEnd(run_->waitStatus);
        ASSERT_EQ(run_->errors, "");
    }

    static int64_t writeTime(long long value)
    {
        for (const TraceEvent& event : run_->trace.events) {
            if (event.isCall("softPwmWrite") && event.numbers.at(1) == value) {
                return event.timeUs;
            }
        }
        ADD_FAILURE() << "no write of " << value;
        return 0;
    }

    static std::vector<Edge> edges(int64_t fromUs, int64_t toUs)
    {
        std::vector<Edge> found;
        for (const TraceEvent& event : run_->trace.ofKind("level")) {
            if (event.timeUs > fromUs && event.timeUs <= toUs) {
                found.push_back({event.timeUs, static_cast<int>(event.numbers.at(1))});
            }
        }
        return found;
    }

    static int levelAt(int64_t timeUs)
    {
        int level = -1;
        for (const TraceEvent& event : run_->trace.ofKind("level")) {
            if (event.timeUs <= timeUs) {
                level = static_cast<int>(event.numbers.at(1));
            }
        }
        return level;
    }

    // Widths of the high pulses, and the periods between their starts.
    static void pulses(int64_t fromUs, int64_t toUs, std::vector<int64_t>& widths,
                       std::vector<int64_t>& periods)
    {
        int64_t riseUs = -1;
        for (const Edge& edge : edges(fromUs, toUs)) {
            if (edge.level == 1) {
                if (riseUs >= 0) {
                    periods.push_back(edge.timeUs - riseUs);
                }
                riseUs = edge.timeUs;
            } else if (riseUs >= 0) {
                widths.push_back(edge.timeUs - riseUs);
            }
        }
    }

    static void expectDutyShare(long long duty, long long next)
    {
        std::vector<int64_t> widths;
        std::vector<int64_t> periods;
        pulses(writeTime(duty) + settleUs, writeTime(next), widths, periods);
        ASSERT_GE(periods.size(), 20u) << "cycles seen at duty " << duty;
        EXPECT_NEAR(median(periods), 10000, 1500) << "cycle length at duty " << duty;
        EXPECT_NEAR(median(widths), duty * 100, 1500) << "high time at duty " << duty;
    }

    static FinishedRun* run_;
};

FinishedRun* SoftPwmEmulation::run_ = nullptr;

TEST_F(SoftPwmEmulation, DutyZeroHoldsThePinLowOverWholeCycles)
{
    const int64_t fromUs = writeTime(0) + settleUs;
    EXPECT_EQ(levelAt(fromUs), 0);
    EXPECT_TRUE(edges(fromUs, writeTime(100)).empty());
}

TEST_F(SoftPwmEmulation, DutyFullHoldsThePinHighOverWholeCycles)
{
    const int64_t fromUs = writeTime(100) + settleUs;
    EXPECT_EQ(levelAt(fromUs), 1);
    EXPECT_TRUE(edges(fromUs, writeTime(30)).empty());
}

TEST_F(SoftPwmEmulation, DutyIsHighForItsShareOfEachTenMillisecondCycle)
{
    expectDutyShare(30, 70);
    expectDutyShare(70, 150);
}

TEST_F(SoftPwmEmulation, NewValueShowsFromTheNextCycle)
{
    const int64_t writeUs = writeTime(70);
    const std::vector<Edge> after = edges(writeUs, writeUs + settleUs + 20000);
    const auto rise =
        std::find_if(after.begin(), after.end(), [](const Edge& e) { return e.level; });
    ASSERT_NE(rise, after.end());
    EXPECT_LE(rise->timeUs - writeUs, settleUs);
    // The first pulse that starts after the write is already 70 %, not 30 %.
    ASSERT_NE(rise + 1, after.end());
    EXPECT_GT((rise + 1)->timeUs - rise->timeUs, 5000);
}

TEST_F(SoftPwmEmulation, ClampsOutOfRangeValuesAndFlagsThem)
{
    const int64_t highFromUs = writeTime(150) + settleUs;
    EXPECT_EQ(levelAt(highFromUs), 1);
    EXPECT_TRUE(edges(highFromUs, writeTime(-5)).empty());
    const int64_t lowFromUs = writeTime(-5) + settleUs;
    EXPECT_EQ(levelAt(lowFromUs), 0);
    EXPECT_TRUE(edges(lowFromUs, run_->trace.events.back().timeUs).empty());

    const std::vector<TraceEvent> misuses = run_->trace.ofKind("misuse");
    ASSERT_EQ(misuses.size(), 2u) << run_->trace.misuseReport();
    EXPECT_EQ(misuses[0].words.at(0), "out-of-range");
    EXPECT_EQ(misuses[0].numbers, std::vector<long long>({4, 150}));
    EXPECT_EQ(misuses[1].numbers, std::vector<long long>({4, -5}));
}

struct MisuseCase {
    std::string name;
    std::vector<std::string> script;
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
        MisuseCase{"SoundUse", words("setup mode 4 1 create 4 1 100 write 4 0 write 4 100 delay 5"),
                   ""},
        MisuseCase{"CallBeforeSetup", words("mode 4 1"), "before-setup"},
        MisuseCase{"WriteBeforeChannel", words("setup mode 4 1 write 4 50"), "no-channel"},
        MisuseCase{"WriteToOtherPin", words("setup create 4 1 100 write 5 1"), "no-channel"},
        MisuseCase{"SecondChannelOnPin", words("setup create 4 1 100 create 4 1 100"),
                   "channel-exists"},
        MisuseCase{"PinOutsideTheBoard", words("setup mode 70 1"), "bad-pin"},
        MisuseCase{"EmptyRange", words("setup create 4 0 0"), "bad-range"}),
    [](const auto& info) { return info.param.name; });

TEST_P(Misuse, IsFlaggedInTheTrace)
{
    const FinishedRun run = drive(GetParam().script);
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
    const FinishedRun run = drive(words("setup create 4 1 100 create 4 5 100"));
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
        const FinishedRun run = drive(words("setup create 4 50 100 delay 50"),
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

TEST(VirtualClock, SleepsAdvanceItExactlyAndCostNoRealTime)
{
    const auto startedAt = std::chrono::steady_clock::now();
    const FinishedRun run = drive(words("setup delay 1500 usleep 250000 delay 3600000"));
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
    const FinishedRun run = drive(words("setup delay 600 delay 600 delay 600"), {.limitMs = 1000});

    EXPECT_TRUE(killedBy(run.waitStatus, SIGTERM)) << describeEnd(run.waitStatus);
    ASSERT_FALSE(run.trace.events.empty());
    const TraceEvent& last = run.trace.events.back();
    EXPECT_EQ(last.kind, "end");
    EXPECT_EQ(last.timeUs, 1000000);
    EXPECT_EQ(run.trace.ofKind("call").size(), 3u) << "no call after the limit";
}

TEST(VirtualClock, FlagsAMissingUsleepInterposer)
{
    const FinishedRun run = drive(words("setup"), {.preloadUsleep = false});
    const std::vector<TraceEvent> misuses = run.trace.ofKind("misuse");
    ASSERT_EQ(misuses.size(), 1u);
    EXPECT_EQ(misuses[0].words.at(0), "usleep-not-interposed");
}

TEST(BoardSettings, RejectsBadValuesWithOneLine)
{
    for (const char* setting :
         {"GLOW_BOARD_CLOCK=sometimes", "GLOW_BOARD_FAIL=everything", "GLOW_BOARD_LIMIT_MS=soon",
          "GLOW_BOARD_TRACE_KEEP=-1", "GLOW_BOARD_TRACE_LEVELS=maybe"}) {
        SCOPED_TRACE(setting);
        const FinishedRun run = drive(words("setup"), {.extraEnvironment = {setting}});
        EXPECT_TRUE(exitedWith(run.waitStatus, 2)) << describeEnd(run.waitStatus);
        EXPECT_EQ(std::count(run.errors.begin(), run.errors.end(), '\n'), 1) << run.errors;
        EXPECT_EQ(run.errors.rfind("virtual board: bad ", 0), 0u) << run.errors;
    }
}

}  // namespace
