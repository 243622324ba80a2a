// Lights the status LED fully for one second, then exits and leaves it lit.

#include "indicator.h"

#include <wiringPi.h>

constexpr int holdMs = 1000;

int main()
{
    indicatorOpen();
    indicatorSet(indicatorFull);
    delay(holdMs);
    // No write of dark and no stop of the channel: the LED keeps its last state.
    return 0;
}
