// Turns the status LED off and leaves it dark, for whoever stopped a pattern.

#include "indicator.h"

#include <wiringPi.h>

// A written value shows from the channel's next 10 ms cycle: the first cycle
// may still carry the 1 the channel was made with, for its first 100 us only,
// and the second is wholly dark. Holding two cycles ends the process with the
// pin low for at least one whole cycle. Every switch between the units waits
// for this hold, so it is no longer than that.
constexpr int darkHoldMs = 20;

int main()
{
    indicatorOpen();
    indicatorSet(indicatorDark);
    delay(darkHoldMs);
    return 0;
}
