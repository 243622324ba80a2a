// Turns the status LED off and leaves it dark, for whoever stopped a pattern.

#include "indicator.h"

#include <wiringPi.h>

// A written value shows from the channel's next 10 ms cycle; holding three
// cycles lets the pin be driven low for at least one whole cycle before the
// process ends, with a cycle to spare for a busy board to run the channel
// late. Every switch between patterns waits for this hold.
constexpr int darkHoldMs = 30;

int main()
{
    indicatorOpen();
    indicatorSet(indicatorDark);
    delay(darkHoldMs);
    return 0;
}
