// The virtual board: a stand-in for wiringPi and the GPIO pins on machines
// without a board. It emulates the soft-PWM channel, records every call and
// every pin level change in a trace, flags misuse that real hardware would
// hide, injects wiringPi's own set-up failures on request, and can run on a
// virtual clock.
// Its settings come from GLOW_BOARD_* environment variables (see README.md).

#include "board_state.h"
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
#include <string_view>

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/utsname.h>
#include <unistd.h>

#define BOARD_API extern "C" __attribute__((visibility("default")))

using namespace vboard;

vboard::Board vboard::board;

namespace {

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
    if (microseconds <= 0) {
        return;
    }
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

void setLevel(int pin, Channel& channel, int level)
{
    if (channel.level.exchange(level) != level) {
        if (board.traceLevels) {
            trace::record(trace::make(nowUs(), trace::Kind::level, nullptr, {pin, level}));
        }
    }
}

// A stalled thread never runs again; the process's end takes it.
void stallForGood()
{
    for (;;) {
        pause();
    }
}

// wiringPi's channel thread asks for round-robin real-time scheduling, first
// at priority 99 and then at 90, and goes on whatever it is given. The trace
// says what it got, so a run shows whether its timing had that priority.
void askForRealTimePriority(int pin)
{
    for (int priority : {99, 90}) {
        sched_param wanted{};
        wanted.sched_priority = priority;
        sched_setscheduler(0, SCHED_RR, &wanted);
    }
    sched_param got{};
    sched_getparam(0, &got);
    const char* policy = sched_getscheduler(0) == SCHED_RR ? "SCHED_RR" : "SCHED_OTHER";
    trace::record(
        trace::make(monotonicUs(), trace::Kind::sched, policy, {pin, got.sched_priority}));
}

// One cycle of range pulse units after another, timed as wiringPi times it:
// a relative sleep for the high part, then one for the low part, so that any
// lateness in waking stretches the cycle rather than being made up. The value
// is read at the start of each cycle, so a new one shows from the next cycle.
void* runChannel(void* channelArgument)
{
    Channel& channel = *static_cast<Channel*>(channelArgument);
    const int pin = static_cast<int>(&channel - board.channels);
    askForRealTimePriority(pin);
    channel.threadRunning.store(true);
    if (board.stall == Stall::firstCycle) {
        stallForGood();
    }
    const int litLevel = board.ledActiveLow ? 0 : 1;
    for (;;) {
        const int high = channel.value.load(std::memory_order_acquire);
        const int low = channel.range - high;
        if (high != 0) {
            setLevel(pin, channel, 1);
            if (board.stall == Stall::litWrite && litLevel == 1) {
                stallForGood();
            }
        }
        sleepRealUs(high * pulseUnitUs);
        if (low != 0) {
            setLevel(pin, channel, 0);
            if (board.stall == Stall::litWrite && litLevel == 0) {
                stallForGood();
            }
        }
        sleepRealUs(low * pulseUnitUs);
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

// wiringPi ends the program itself when it cannot go on, with its own
// explanation on stderr and status 1, from inside the call.
[[noreturn]] void failFatally(const char* reason, const char* explanation)
{
    trace::Event event = trace::make(nowUs(), trace::Kind::fatal, "wiringPiSetup", {});
    event.detail = reason;
    trace::record(event);
    std::fputs(explanation, stderr);
    std::exit(EXIT_FAILURE);
}

// wiringPi's words when it can open neither memory device: a Pi 1-4 tries
// /dev/mem, then /dev/gpiomem; a Pi 5 its PCI resource file, which outside
// a Pi 5 it names as an empty path, then /dev/gpiomem0.
namespace {
void writeNoAccess(char* text, size_t size, const char* node, const char* reason)
{
    const bool rp1 = std::string_view(node) == "/dev/gpiomem0";
    std::snprintf(text, size,
                  "wiringPiSetup: Unable to open %s or %s: %s.\n"
                  "  Aborting your program because if it can not access the GPIO\n"
                  "  hardware then it most certianly won't work\n"
                  "  Try running with sudo?\n",
                  rp1 ? "" : "/dev/mem", node, reason);
}

// wiringPi's words when it finds no board revision, with the system it
// describes (uname's) as it does. The version is that of the wiringPi
// release whose words these are.
void writeBoardUnknown(char* text, size_t size)
{
    utsname system{};
    uname(&system);
    const bool arm = std::strstr(system.machine, "arm") != nullptr ||
                     std::strstr(system.machine, "aarch") != nullptr;
    std::snprintf(text, size,
                  "Oops: Unable to determine Raspberry Pi board revision from "
                  "/proc/device-tree/system/linux,revision and from /proc/cpuinfo\n"
                  "      WiringPi    : 3.14\n"
                  "      system name : %s\n"
                  "      release     : %s\n"
                  "      version     : %s\n"
                  "      machine     : %s\n"
                  "%s"
                  " -> No \"Revision\" line\n"
                  " -> WiringPi is designed for Raspberry Pi and can only be used with a "
                  "Raspberry Pi.\n\n"
                  " -> Check at https://github.com/wiringpi/wiringpi/issues.\n\n",
                  system.sysname, system.release, system.version, system.machine,
                  arm ? "" : " -> This is not an ARM architecture; it cannot be a Raspberry Pi.\n");
}
}  // namespace

// With GLOW_BOARD_GPIO_DEVICE, or a /dev/gpiomem of the OS's, the board
// reaches that device as wiringPi reaches /dev/gpiomem: opened read-write
// and one block of registers mapped, so that the file's
// mode, its group and a device policy decide as they would on a board. The
// mapping is held until the process ends. False where wiringPi would return
// -1 under WIRINGPI_CODES.
namespace {
bool mapGpioDevice()
{
    if (board.gpioDevice == nullptr) {
        return true;
    }
    constexpr size_t gpioBlockBytes = 4096;
    const int device = open(board.gpioDevice, O_RDWR | O_SYNC | O_CLOEXEC);
    const char* failed = "open";
    if (device >= 0) {
        const void* registers =
            mmap(nullptr, gpioBlockBytes, PROT_READ | PROT_WRITE, MAP_SHARED, device, 0);
        failed = registers == MAP_FAILED ? "mmap" : nullptr;
    }
    if (failed == nullptr) {
        return true;
    }
    // Under WIRINGPI_CODES wiringPi hands the failure back without a word.
    if (board.returnCodes) {
        return false;
    }
    char explanation[512];
    if (failed == std::string_view("open")) {
        writeNoAccess(explanation, sizeof explanation, board.gpioDevice, std::strerror(errno));
    } else {
        // A Pi 5's RP1 map has its own words.
        std::snprintf(explanation, sizeof explanation,
                      std::string_view(board.gpioDevice) == "/dev/gpiomem0"
                          ? "wiringPiSetup: mmap failed: %s\n"
                          : "wiringPiSetup: mmap (GPIO) failed: %s\n",
                      std::strerror(errno));
    }
    failFatally("gpio-access", explanation);
}
}  // namespace

BOARD_API int wiringPiSetup(void)
{
    if (board.failBoardModel) {
        char explanation[1024];
        writeBoardUnknown(explanation, sizeof explanation);
        failFatally("board-model", explanation);
    }
    if (board.failGpioAccess && !board.returnCodes) {
        char explanation[512];
        writeNoAccess(explanation, sizeof explanation, "/dev/gpiomem", "Permission denied");
        failFatally("gpio-access", explanation);
    }
    const int result = board.failGpioAccess || !mapGpioDevice() ? -1 : 0;
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

// Sets the pin's output latch, as wiringPi's write of the set or clear
// register does: the level shows at once, whether or not the pin is an
// output yet, in either clock. A write to a pin whose soft-PWM channel runs
// fights that channel's thread; any value other than LOW or HIGH is misuse.
BOARD_API void digitalWrite(int pin, int value)
{
    recordCall("digitalWrite", {pin, value});
    checkSetupDone("digitalWrite", pin);
    if (!validPin("digitalWrite", pin)) {
        return;
    }
    if (value != LOW && value != HIGH) {
        recordMisuse("bad-level", "digitalWrite", {pin, value});
    }
    Channel& channel = board.channels[pin];
    if (channel.exists.load()) {
        recordMisuse("channel-running", "digitalWrite", {pin});
    }
    setLevel(pin, channel, value == LOW ? 0 : 1);
}

BOARD_API int softPwmCreate(int pin, int value, int range)
{
    if (board.failChannelRefused) {
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
    // A thread that cannot start gives pthread_create's error number, a
    // positive one, as wiringPi passes it on.
    int result = 0;
    // As wiringPi does: the pin is driven low first, whether or not its
    // thread then starts.
    if (!board.virtualTime) {
        setLevel(pin, channel, 0);
    }
    if (board.failChannelThread) {
        result = EAGAIN;
    } else if (!board.virtualTime) {
        // The call returns only once the thread runs, polling every
        // millisecond, so that the first cycle shows the initial value.
        trace::allowThreads();
        pthread_t thread;
        result = pthread_create(&thread, nullptr, runChannel, &channel);
        if (result == 0) {
            pthread_detach(thread);
            while (!channel.threadRunning.load()) {
                sleepRealUs(usPerMs);
            }
        }
    }
    if (result != 0) {
        channel.exists.store(false);
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
