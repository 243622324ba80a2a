// The virtual board: a stand-in for wiringPi and the GPIO pins on machines
// without a board. It emulates the soft-PWM channel, records every call and
// every pin level change in a trace, flags misuse that real hardware would
// hide, injects set-up faults on request, and can run on a virtual clock.
// Its settings come from GLOW_BOARD_* environment variables (see README.md).

#include "sleep_hooks.h"
#include "trace.h"

#include <softPwm.h>
#include <wiringPi.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <pthread.h>
#include <unistd.h>

#define BOARD_API extern "C" __attribute__((visibility("default")))

namespace {

constexpr int pinCount = 64;  // wiringPi's soft-PWM keeps one slot per pin 0..63
constexpr int64_t pulseUnitUs = 100;
constexpr int64_t usPerMs = 1000;

struct Channel {
    std::atomic<bool> exists{false};
    int range = 0;
    std::atomic<int> value{0};
    int level = -1;  // last traced level; only the channel's thread touches it
};

struct Board {
    bool virtualTime = false;
    int64_t limitUs = -1;      // virtual time at which the run is ended; -1: never
    int64_t virtualNowUs = 0;  // virtual time runs no channel thread: one thread only
    bool failSetup = false;
    bool failSoftPwmCreate = false;
    bool usleepInterposed = false;
    bool traceLevels = true;
    bool setupDone = false;
    Channel channels[pinCount];
};

Board board;

int64_t monotonicUs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}

int64_t nowUs()
{
    return board.virtualTime ? board.virtualNowUs : monotonicUs();
}

void recordCall(const char* name, std::initializer_list<int64_t> numbers)
{
    trace::record(trace::make(nowUs(), trace::Kind::call, name, numbers));
}

void recordCallResult(const char* name, std::initializer_list<int64_t> numbers, int result)
{
    trace::Event event = trace::make(nowUs(), trace::Kind::call, name, numbers);
    event.hasResult = true;
    event.result = result;
    trace::record(event);
}

void recordMisuse(const char* code, const char* call, std::initializer_list<int64_t> numbers)
{
    trace::Event event = trace::make(nowUs(), trace::Kind::misuse, code, numbers);
    event.detail = call;
    trace::record(event);
}

[[noreturn]] void exitWithBadSetting(const char* name, const char* value)
{
    std::fprintf(stderr, "virtual board: bad %s '%s'\n", name, value);
    _exit(2);
}

bool hasWord(const char* list, const char* word)
{
    const size_t wordLength = std::strlen(word);
    for (const char* at = list; *at != '\0';) {
        const char* end = std::strchr(at, ',');
        const size_t length = end ? static_cast<size_t>(end - at) : std::strlen(at);
        if (length == wordLength && std::strncmp(at, word, length) == 0) {
            return true;
        }
        if (!end) {
            break;
        }
        at = end + 1;
    }
    return false;
}

// A whole number from a setting, at least minimum; anything else stops the run.
int64_t readCount(const char* name, const char* text, int64_t minimum)
{
    char* end = nullptr;
    errno = 0;
    const long long count = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || count < minimum) {
        exitWithBadSetting(name, text);
    }
    return count;
}

void readSettings()
{
    if (const char* clock = std::getenv("GLOW_BOARD_CLOCK")) {
        if (std::strcmp(clock, "virtual") == 0) {
            board.virtualTime = true;
        } else if (std::strcmp(clock, "real") != 0) {
            exitWithBadSetting("GLOW_BOARD_CLOCK", clock);
        }
    }
    if (const char* limit = std::getenv("GLOW_BOARD_LIMIT_MS")) {
        const char* name = "GLOW_BOARD_LIMIT_MS (a count of ms, with GLOW_BOARD_CLOCK=virtual)";
        if (!board.virtualTime) {
            exitWithBadSetting(name, limit);
        }
        board.limitUs = readCount(name, limit, 0) * usPerMs;
    }
    if (const char* fail = std::getenv("GLOW_BOARD_FAIL")) {
        board.failSetup = hasWord(fail, "wiringPiSetup");
        board.failSoftPwmCreate = hasWord(fail, "softPwmCreate");
        if (*fail != '\0' && !board.failSetup && !board.failSoftPwmCreate) {
            exitWithBadSetting("GLOW_BOARD_FAIL", fail);
        }
    }
    if (const char* levels = std::getenv("GLOW_BOARD_TRACE_LEVELS")) {
        if (std::strcmp(levels, "0") != 0 && std::strcmp(levels, "1") != 0) {
            exitWithBadSetting("GLOW_BOARD_TRACE_LEVELS (0 or 1)", levels);
        }
        board.traceLevels = levels[0] == '1';
    }
    int64_t keepEvents = 0;
    if (const char* keep = std::getenv("GLOW_BOARD_TRACE_KEEP")) {
        keepEvents = readCount("GLOW_BOARD_TRACE_KEEP (a count of events)", keep, 1);
    }
    if (const char* path = std::getenv("GLOW_BOARD_TRACE")) {
        trace::open(path, board.virtualTime ? "virtual" : "real", keepEvents);
    }
}

void recordExit()
{
    trace::record(trace::make(nowUs(), trace::Kind::exit, nullptr, {}));
    trace::flush();
}

__attribute__((constructor)) void startBoard()
{
    readSettings();
    if (trace::enabled()) {
        std::atexit(recordExit);
    }
}

// Ends the run the way an outside SIGTERM would: the program's own handling
// of it, if any, decides, so a program that catches it is caught out.
[[noreturn]] void endRunAtLimit()
{
    board.virtualNowUs = board.limitUs;
    trace::record(trace::make(nowUs(), trace::Kind::end, "SIGTERM", {}));
    trace::flush();
    raise(SIGTERM);
    // Reached only if the program caught, blocked or ignored SIGTERM.
    // cppcheck-suppress unreachableCode
    recordMisuse("survived-signal", "SIGTERM", {});
    trace::flush();
    _exit(125);
}

void sleepRealUs(int64_t microseconds)
{
    timespec left{static_cast<time_t>(microseconds / 1000000),
                  static_cast<long>(microseconds % 1000000) * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void sleepUs(int64_t microseconds)
{
    if (!board.virtualTime) {
        sleepRealUs(microseconds);
        return;
    }
    const int64_t wakeUs = board.virtualNowUs + microseconds;
    if (board.limitUs >= 0 && wakeUs > board.limitUs) {
        endRunAtLimit();
    }
    board.virtualNowUs = wakeUs;
}

void sleepUntilRealUs(int64_t deadlineUs)
{
    timespec at{static_cast<time_t>(deadlineUs / 1000000),
                static_cast<long>(deadlineUs % 1000000) * 1000};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

void setLevel(int pin, Channel& channel, int level)
{
    if (channel.level != level) {
        channel.level = level;
        if (board.traceLevels) {
            trace::record(trace::make(monotonicUs(), trace::Kind::level, nullptr, {pin, level}));
        }
    }
}

// One cycle of range pulse units after another; a value written during a
// cycle is read at the start of the next one, as wiringPi's own thread does.
void* runChannel(void* channelArgument)
{
    Channel& channel = *static_cast<Channel*>(channelArgument);
    const int pin = static_cast<int>(&channel - board.channels);
    const int64_t cycleUs = channel.range * pulseUnitUs;
    int64_t cycleStartUs = monotonicUs();
    for (;;) {
        const int value = channel.value.load(std::memory_order_acquire);
        if (value > 0) {
            setLevel(pin, channel, 1);
        }
        if (value < channel.range) {
            sleepUntilRealUs(cycleStartUs + value * pulseUnitUs);
            setLevel(pin, channel, 0);
        }
        cycleStartUs += cycleUs;
        sleepUntilRealUs(cycleStartUs);
        // After a stall longer than a cycle, start afresh rather than race to catch up.
        const int64_t nowAfterUs = monotonicUs();
        if (nowAfterUs > cycleStartUs + cycleUs) {
            cycleStartUs = nowAfterUs;
        }
    }
    return nullptr;
}

bool validPin(const char* call, int pin)
{
    if (pin < 0 || pin >= pinCount) {
        recordMisuse("bad-pin", call, {pin});
        return false;
    }
    return true;
}

void checkSetupDone(const char* call, int pin)
{
    if (!board.setupDone) {
        recordMisuse("before-setup", call, {pin});
    }
}

int clampToRange(const char* call, int pin, int value, int range)
{
    if (value < 0 || value > range) {
        recordMisuse("out-of-range", call, {pin, value});
        return value < 0 ? 0 : range;
    }
    return value;
}

}  // namespace

BOARD_API int wiringPiSetup(void)
{
    const int result = board.failSetup ? -1 : 0;
    recordCallResult("wiringPiSetup", {}, result);
    if (board.virtualTime && !board.usleepInterposed) {
        recordMisuse("usleep-not-interposed", "wiringPiSetup", {});
    }
    board.setupDone = result == 0;
    return result;
}

BOARD_API void pinMode(int pin, int mode)
{
    recordCall("pinMode", {pin, mode});
    checkSetupDone("pinMode", pin);
    validPin("pinMode", pin);
}

BOARD_API int softPwmCreate(int pin, int value, int range)
{
    if (board.failSoftPwmCreate) {
        recordCallResult("softPwmCreate", {pin, value, range}, -1);
        return -1;
    }
    checkSetupDone("softPwmCreate", pin);
    if (!validPin("softPwmCreate", pin) || range <= 0) {
        recordCallResult("softPwmCreate", {pin, value, range}, -1);
        if (range <= 0) {
            recordMisuse("bad-range", "softPwmCreate", {pin, range});
        }
        return -1;
    }
    Channel& channel = board.channels[pin];
    if (channel.exists.load()) {
        recordCallResult("softPwmCreate", {pin, value, range}, -1);
        recordMisuse("channel-exists", "softPwmCreate", {pin});
        return -1;
    }
    channel.range = range;
    channel.value.store(clampToRange("softPwmCreate", pin, value, range));
    channel.exists.store(true);
    // In virtual time the levels follow from the writes alone; no thread runs.
    int result = 0;
    if (!board.virtualTime) {
        trace::allowThreads();
        pthread_t thread;
        if (pthread_create(&thread, nullptr, runChannel, &channel) == 0) {
            pthread_detach(thread);
        } else {
            channel.exists.store(false);
            result = -1;
        }
    }
    // Recorded once the result is known; the channel's first level may come first.
    recordCallResult("softPwmCreate", {pin, value, range}, result);
    return result;
}

BOARD_API void softPwmWrite(int pin, int value)
{
    recordCall("softPwmWrite", {pin, value});
    checkSetupDone("softPwmWrite", pin);
    if (!validPin("softPwmWrite", pin)) {
        return;
    }
    Channel& channel = board.channels[pin];
    if (!channel.exists.load(std::memory_order_acquire)) {
        recordMisuse("no-channel", "softPwmWrite", {pin});
        return;
    }
    channel.value.store(clampToRange("softPwmWrite", pin, value, channel.range),
                        std::memory_order_release);
}

BOARD_API void delay(unsigned int howLong)
{
    recordCall("delay", {howLong});
    sleepUs(int64_t{howLong} * usPerMs);
}

BOARD_API int glowBoardUsleep(unsigned int microseconds)
{
    recordCall("usleep", {microseconds});
    sleepUs(microseconds);
    return 0;
}

BOARD_API void glowBoardNoteUsleepInterposed(void)
{
    board.usleepInterposed = true;
}
