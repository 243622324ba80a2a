// Turns the status LED off and leaves it dark, for whoever stopped a pattern.

#include "indicator.h"

// No soft-PWM channel: its thread lights the pin for a moment at every
// cycle's start, and one that got no processor before the exit could leave
// the LED lit. A plain write of the dark level is done once it returns.
int main()
{
    indicatorDarken();
    return 0;
}
