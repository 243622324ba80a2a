// Turns the status LED off and leaves it dark, for whoever stopped a pattern.

#include "indicator.h"

#include <wiringPi.h>

// A written value shows from the channel's next 10 ms cycle; holding five
// cycles lets the pin be driven low for at least one whole cycle before the
// process ends, with room for a busy board to run the channel late.
constexpr int darkHoldMs = 50;

int main()
{
    indicatorOpen();
    indicatorSet(indicatorDark);
    delay(darkHoldMs);
    return 0;
}
