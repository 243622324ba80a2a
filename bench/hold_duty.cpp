// Holds one duty value on the indicator's soft-PWM channel for a while, so
// that the benchmark can time the channel's high and low parts from the
// virtual board's trace:   hold_duty DUTY SECONDS

#include "indicator.h"

#include <softPwm.h>
#include <wiringPi.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: hold_duty DUTY SECONDS\n");
        return 2;
    }
    const int duty = std::atoi(argv[1]);
    const int seconds = std::atoi(argv[2]);
    if (wiringPiSetup() != 0 || softPwmCreate(indicatorPin, duty, indicatorRange) != 0) {
        std::fprintf(stderr, "hold_duty: cannot start the soft-PWM channel\n");
        return 1;
    }
    delay(static_cast<unsigned int>(seconds) * 1000U);
    return 0;
}
