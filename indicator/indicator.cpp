#include "indicator.h"

#include <softPwm.h>
#include <wiringPi.h>

#include <cerrno>  // program_invocation_short_name
#include <cstdio>
#include <cstdlib>

namespace {
// The channel value that lights the LED for duty: the same where a high pin
// lights it, the rest of the cycle where a low pin does.
constexpr int pinDuty(int duty)
{
    return indicatorActiveLow ? indicatorRange - duty : duty;
}

constexpr int darkLevel = indicatorActiveLow ? HIGH : LOW;

// The programs are silent while they work; a set-up failure is the one
// thing they report, so that it never passes for a running pattern.
void setUpGpioOrExit()
{
    if (wiringPiSetup() != 0) {
        std::fprintf(stderr, "%s: cannot set up GPIO access\n", program_invocation_short_name);
        std::exit(EXIT_FAILURE);
    }
}
}  // namespace

void indicatorOpen()
{
    setUpGpioOrExit();
    pinMode(indicatorPin, OUTPUT);
    if (softPwmCreate(indicatorPin, pinDuty(indicatorInitial), indicatorRange) != 0) {
        // No channel runs: softPwmCreate may have driven the pin low, which
        // lights an active-low LED, or left it as it was.
        digitalWrite(indicatorPin, darkLevel);
        std::fprintf(stderr, "%s: cannot start the soft-PWM channel on pin %d\n",
                     program_invocation_short_name, indicatorPin);
        std::exit(EXIT_FAILURE);
    }
}

void indicatorDarken()
{
    setUpGpioOrExit();
    // Latched before the pin becomes an output, so that it comes up dark.
    digitalWrite(indicatorPin, darkLevel);
    pinMode(indicatorPin, OUTPUT);
}

void indicatorSet(int duty)
{
    softPwmWrite(indicatorPin, pinDuty(duty));
}
