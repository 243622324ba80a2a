// The virtual board: a stand-in for wiringPi and the GPIO pins on machines
// without a board. It emulates the soft-PWM channel, records every call and
// every pin level change in a trace, flags misuse that real hardware would
// hide, injects set-up faults on request, and can run on a virtual clock.
// Its settings come from GLOW_BOARD_* environment variables (see README.md).

#include "sleep_hooks.h"

#include <softPwm.h>
#include <wiringPi.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include <fcntl.h>
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
    int traceFd = -1;
    std::mutex traceLock;
    bool virtualTime = false;
    int64_t limitUs = -1;  // virtual time at which the run is ended; -1: never
    std::atomic<int64_t> virtualNowUs{0};
    bool failSetup = false;
    bool failSoftPwmCreate = false;
    bool usleepInterposed = false;
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
    return board.virtualTime ? board.virtualNowUs.load() : monotonicUs();
}

// One event a line, "<time µs> <words...>", written at once so that the trace
// survives the process being killed at any point.
void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
void trace(const char* format, ...)
{
    if (board.traceFd < 0) {
        return;
    }
    std::lock_guard<std::mutex> hold(board.traceLock);
    char line[256];
    int length = std::snprintf(line, sizeof line, "%lld ", static_cast<long long>(nowUs()));
    va_list args;
    va_start(args, format);
    length += std::vsnprintf(line + length, sizeof line - length - 1, format, args);
    va_end(args);
    if (length > static_cast<int>(sizeof line) - 2) {
        length = sizeof line - 2;
    }
    line[length++] = '\n';
    for (const char* rest = line; length > 0;) {
        ssize_t written = write(board.traceFd, rest, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        rest += written;
        length -= static_cast<int>(written);
    }
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
        char* end = nullptr;
        errno = 0;
        const long long limitMs = std::strtoll(limit, &end, 10);
        if (errno != 0 || end == limit || *end != '\0' || limitMs < 0 || !board.virtualTime) {
            exitWithBadSetting("GLOW_BOARD_LIMIT_MS (a count of ms, with GLOW_BOARD_CLOCK=virtual)",
                               limit);
        }
        board.limitUs = limitMs * usPerMs;
    }
    if (const char* fail = std::getenv("GLOW_BOARD_FAIL")) {
        board.failSetup = hasWord(fail, "wiringPiSetup");
        board.failSoftPwmCreate = hasWord(fail, "softPwmCreate");
        if (*fail != '\0' && !board.failSetup && !board.failSoftPwmCreate) {
            exitWithBadSetting("GLOW_BOARD_FAIL", fail);
        }
    }
    if (const char* path = std::getenv("GLOW_BOARD_TRACE")) {
        board.traceFd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
        if (board.traceFd < 0) {
            std::fprintf(stderr, "virtual board: cannot write trace %s: %s\n", path,
                         std::strerror(errno));
            _exit(2);
        }
    }
}

void traceExit()
{
    trace("exit");
}

__attribute__((constructor)) void startBoard()
{
    readSettings();
    if (board.traceFd >= 0) {
        char header[128];
        const int length = std::snprintf(header, sizeof header,
                                         "# glow-board-trace 1 clock=%s pid=%d\n",
                                         board.virtualTime ? "virtual" : "real", getpid());
        if (write(board.traceFd, header, length) != length) {
            _exit(2);
        }
        std::atexit(traceExit);
    }
}

// Ends the run the way an outside SIGTERM would: by its default action.
[[noreturn]] void endRunAtLimit()
{
    board.virtualNowUs.store(board.limitUs);
    trace("end SIGTERM");
    std::signal(SIGTERM, SIG_DFL);
    sigset_t terms;
    sigemptyset(&terms);
    sigaddset(&terms, SIGTERM);
    pthread_sigmask(SIG_UNBLOCK, &terms, nullptr);
    raise(SIGTERM);
    trace("misuse survived-signal SIGTERM");
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
    const int64_t wakeUs = board.virtualNowUs.load() + microseconds;
    if (board.limitUs >= 0 && wakeUs > board.limitUs) {
        endRunAtLimit();
    }
    board.virtualNowUs.store(wakeUs);
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
        trace("level %d %d", pin, level);
    }
}

// One cycle of range pulse units after another; a value written during a
// cycle is read at the start of the next one, as wiringPi's own thread does.
void* runChannel(void* pinArgument)
{
    const int pin = static_cast<int>(reinterpret_cast<intptr_t>(pinArgument));
    Channel& channel = board.channels[pin];
    const int64_t cycleUs = channel.range * pulseUnitUs;
    int64_t cycleStartUs = monotonicUs();
    for (;;) {
        const int value = channel.value.load();
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
        trace("misuse bad-pin %s %d", call, pin);
        return false;
    }
    return true;
}

void checkSetupDone(const char* call, int pin)
{
    if (!board.setupDone) {
        trace("misuse before-setup %s %d", call, pin);
    }
}

int clampToRange(const char* call, int pin, int value, int range)
{
    if (value < 0 || value > range) {
        trace("misuse out-of-range %s %d %d", call, pin, value);
        return value < 0 ? 0 : range;
    }
    return value;
}

}  // namespace

BOARD_API int wiringPiSetup(void)
{
    const int result = board.failSetup ? -1 : 0;
    trace("call wiringPiSetup = %d", result);
    if (board.virtualTime && !board.usleepInterposed) {
        trace("misuse usleep-not-interposed wiringPiSetup");
    }
    board.setupDone = result == 0;
    return result;
}

BOARD_API void pinMode(int pin, int mode)
{
    trace("call pinMode %d %d", pin, mode);
    checkSetupDone("pinMode", pin);
    validPin("pinMode", pin);
}

BOARD_API int softPwmCreate(int pin, int value, int range)
{
    if (board.failSoftPwmCreate) {
        trace("call softPwmCreate %d %d %d = -1", pin, value, range);
        return -1;
    }
    checkSetupDone("softPwmCreate", pin);
    if (!validPin("softPwmCreate", pin) || range <= 0) {
        trace("call softPwmCreate %d %d %d = -1", pin, value, range);
        if (range <= 0) {
            trace("misuse bad-range softPwmCreate %d %d", pin, range);
        }
        return -1;
    }
    Channel& channel = board.channels[pin];
    if (channel.exists.load()) {
        trace("call softPwmCreate %d %d %d = -1", pin, value, range);
        trace("misuse channel-exists softPwmCreate %d", pin);
        return -1;
    }
    channel.range = range;
    channel.value.store(clampToRange("softPwmCreate", pin, value, range));
    channel.exists.store(true);
    trace("call softPwmCreate %d %d %d = 0", pin, value, range);
    // In virtual time the levels follow from the writes alone; no thread runs.
    if (!board.virtualTime) {
        pthread_t thread;
        if (pthread_create(&thread, nullptr, runChannel,
                           reinterpret_cast<void*>(static_cast<intptr_t>(pin))) != 0) {
            channel.exists.store(false);
            return -1;
        }
        pthread_detach(thread);
    }
    return 0;
}

BOARD_API void softPwmWrite(int pin, int value)
{
    trace("call softPwmWrite %d %d", pin, value);
    checkSetupDone("softPwmWrite", pin);
    if (!validPin("softPwmWrite", pin)) {
        return;
    }
    Channel& channel = board.channels[pin];
    if (!channel.exists.load()) {
        trace("misuse no-channel softPwmWrite %d", pin);
        return;
    }
    channel.value.store(clampToRange("softPwmWrite", pin, value, channel.range));
}

BOARD_API void delay(unsigned int howLong)
{
    trace("call delay %u", howLong);
    sleepUs(int64_t{howLong} * usPerMs);
}

BOARD_API int glowBoardUsleep(unsigned int microseconds)
{
    trace("call usleep %u", microseconds);
    sleepUs(microseconds);
    return 0;
}

BOARD_API void glowBoardNoteUsleepInterposed(void)
{
    board.usleepInterposed = true;
}
