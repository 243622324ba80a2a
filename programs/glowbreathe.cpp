// Breathes the status LED: an even fade from dark to full and back, then a
// rest in the dark, until the process is ended from outside.

#include "indicator.h"

#include <wiringPi.h>

// One soft-PWM cycle per duty step.
constexpr int rampStepMs = 10;

int main()
{
    indicatorOpen();
    for (;;) {
        // Both ends are written on both ramps, so full brightness lasts two steps.
        for (int duty = indicatorDark; duty <= indicatorFull; ++duty) {
            indicatorSet(duty);
            delay(rampStepMs);
        }
        for (int duty = indicatorFull; duty >= indicatorDark; --duty) {
            indicatorSet(duty);
            delay(rampStepMs);
        }
        delay(cyclePauseMs);
    }
}
