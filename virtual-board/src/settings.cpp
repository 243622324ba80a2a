// The virtual board's settings, from its GLOW_BOARD_* environment variables
// (see README.md): every one read before the program's first call.

#include "board_state.h"
#include "trace.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace vboard;

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
int64_t countOrExit(const char* name, const char* text, int64_t minimum)
{
    char* end = nullptr;
    errno = 0;
    const long long count = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || count < minimum) {
        exitWithBadSetting(name, text);
    }
    return count;
}

void readClockSettings()
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
        board.limitUs = countOrExit(name, limit, 0) * usPerMs;
    }
}

void readFailureSettings()
{
    if (const char* fail = std::getenv("GLOW_BOARD_FAIL")) {
        board.failGpioAccess = hasWord(fail, "gpio-access");
        board.failBoardModel = hasWord(fail, "board-model");
        board.failChannelRefused = hasWord(fail, "channel-refused");
        board.failChannelThread = hasWord(fail, "channel-thread");
        if (*fail != '\0' && !board.failGpioAccess && !board.failBoardModel &&
            !board.failChannelRefused && !board.failChannelThread) {
            exitWithBadSetting("GLOW_BOARD_FAIL", fail);
        }
    }
    if (const char* stall = std::getenv("GLOW_BOARD_STALL")) {
        if (std::strcmp(stall, "first-cycle") == 0) {
            board.stall = Stall::firstCycle;
        } else if (std::strcmp(stall, "lit-write") == 0) {
            board.stall = Stall::litWrite;
        } else {
            exitWithBadSetting("GLOW_BOARD_STALL (first-cycle or lit-write)", stall);
        }
    }
    // wiringPi looks only at whether the variable is there, not at its value.
    board.returnCodes = std::getenv("WIRINGPI_CODES") != nullptr;
}

void findGpioDevice()
{
    board.gpioDevice = std::getenv("GLOW_BOARD_GPIO_DEVICE");
    if (board.gpioDevice == nullptr) {
        // Where the OS has a GPIO node, as a board's has, it is used as
        // wiringPi uses it: a Pi 5 has /dev/gpiomem0, older boards /dev/gpiomem.
        // stat, not access: a device policy answers access() for a node it
        // refuses as if the node were not there, where wiringPi's open fails.
        for (const char* node : {"/dev/gpiomem", "/dev/gpiomem0"}) {
            struct stat status {};
            if (board.gpioDevice == nullptr && stat(node, &status) == 0) {
                board.gpioDevice = node;
            }
        }
    }
}

// The build's wiring, written in the trace's first line, so that its
// readers show the LED's light, not merely the pin's level.
void readWiringSettings()
{
    if (const char* pin = std::getenv("GLOW_BOARD_LED")) {
        board.ledPin = static_cast<int>(countOrExit("GLOW_BOARD_LED (a pin, 0-63)", pin, 0));
        if (board.ledPin >= pinCount) {
            exitWithBadSetting("GLOW_BOARD_LED (a pin, 0-63)", pin);
        }
    }
    if (const char* active = std::getenv("GLOW_BOARD_LED_ACTIVE")) {
        if (std::strcmp(active, "high") != 0 && std::strcmp(active, "low") != 0) {
            exitWithBadSetting("GLOW_BOARD_LED_ACTIVE (high or low)", active);
        }
        board.ledActiveLow = active[0] == 'l';
    }
}

void openTraceOrExit()
{
    if (const char* levels = std::getenv("GLOW_BOARD_TRACE_LEVELS")) {
        if (std::strcmp(levels, "0") != 0 && std::strcmp(levels, "1") != 0) {
            exitWithBadSetting("GLOW_BOARD_TRACE_LEVELS (0 or 1)", levels);
        }
        board.traceLevels = levels[0] == '1';
    }
    // With the pulse its readers know each channel's cycle: range pulses.
    char wiring[64];
    std::snprintf(wiring, sizeof wiring, "led=%d active=%s pulse_us=%lld", board.ledPin,
                  board.ledActiveLow ? "low" : "high", static_cast<long long>(pulseUnitUs));
    int64_t keepEvents = 0;
    if (const char* keep = std::getenv("GLOW_BOARD_TRACE_KEEP")) {
        keepEvents = countOrExit("GLOW_BOARD_TRACE_KEEP (a count of events)", keep, 1);
    }
    const char* clock = board.virtualTime ? "virtual" : "real";
    if (const char* path = std::getenv("GLOW_BOARD_TRACE")) {
        trace::openOrExit(path, clock, wiring, keepEvents);
    } else if (const char* folder = std::getenv("GLOW_BOARD_TRACE_DIR")) {
        // One trace per process, for runs that start programs again and again
        // (a service manager); the monotonic clock orders them.
        char path[4096];
        std::snprintf(path, sizeof path, "%s/%s.%d.trace", folder, program_invocation_short_name,
                      getpid());
        trace::openOrExit(path, clock, wiring, keepEvents);
    }
}

}  // namespace

namespace vboard {

void readSettings()
{
    readClockSettings();
    readFailureSettings();
    findGpioDevice();
    readWiringSettings();
    openTraceOrExit();
}

}  // namespace vboard
