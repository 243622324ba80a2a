#pragma once

// The virtual board's state, which its wiringPi calls (board.cpp) and the
// reading of its settings (settings.cpp) share.

#include <atomic>
#include <cstdint>

namespace vboard {

constexpr int pinCount = 64;          // wiringPi's soft-PWM keeps one slot per pin 0..63
constexpr int64_t pulseUnitUs = 100;  // wiringPi's soft-PWM step: a cycle is range steps
constexpr int64_t usPerMs = 1000;

struct Channel {
    std::atomic<bool> exists{false};
    int range = 0;
    std::atomic<int> value{0};
    std::atomic<bool> threadRunning{false};  // the thread has taken its pin
    // Last traced level: set by the channel's thread, or by digitalWrite
    // where no channel runs (a write beside a running one is misuse).
    std::atomic<int> level{-1};
};

// Where GLOW_BOARD_STALL makes the channel's thread stop for good, as a
// thread that gets no processor again before the process ends.
enum class Stall { never, firstCycle, litWrite };

struct Board {
    bool virtualTime = false;
    int64_t limitUs = -1;      // virtual time at which the run is ended; -1: never
    int64_t virtualNowUs = 0;  // virtual time runs no channel thread: one thread only
    // Set-up failures as wiringPi has them, injected by GLOW_BOARD_FAIL.
    bool failGpioAccess = false;      // cannot open or map the GPIO registers
    bool failBoardModel = false;      // cannot tell which board this is
    bool failChannelRefused = false;  // softPwmCreate refuses the channel
    bool failChannelThread = false;   // the channel's thread cannot start
    Stall stall = Stall::never;
    bool returnCodes = false;          // WIRINGPI_CODES: return -1 instead of exiting
    const char* gpioDevice = nullptr;  // opened and mapped as wiringPi maps /dev/gpiomem
    bool usleepInterposed = false;
    bool traceLevels = true;
    int ledPin = 4;             // the pin the build wired the LED to, for the trace's readers
    bool ledActiveLow = false;  // it lights when that pin is low
    bool setupDone = false;
    Channel channels[pinCount];
};

extern Board board;

// Every setting is read before the first call: a bad one stops the run
// with one line, before the program does anything.
void readSettings();

}  // namespace vboard
