// The virtual board's soft-PWM emulation in real time, with bounds generous
// enough for a busy machine. Every case reads one shared run, so the suite
// runs as one test process.

#include "support/board_process.h"
#include "support/trace.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

// Time a written value may take to show: one 10 ms cycle plus room for a
// loaded machine's scheduling.
constexpr int64_t settleUs = 10000 + 40000;

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
        run_ = new FinishedRun(driveBoard("setup mode 4 1 create 4 1 100 "
                                          "write 4 0 delay 300 "
                                          "write 4 100 delay 300 "
                                          "write 4 30 delay 600 "
                                          "write 4 70 delay 600 "
                                          "write 4 150 delay 300 "
                                          "write 4 -5 delay 300",
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
    // The write is traced before its value is stored: a cycle that read the
    // old value in between rises after the traced time. Its pulse is the
    // old one; the first cycle that starts once the write has landed is new.
    constexpr int64_t landingUs = 2000;
    const int64_t writeUs = writeTime(70);
    const std::vector<Edge> after = edges(writeUs + landingUs, writeUs + settleUs + 20000);
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

}  // namespace
