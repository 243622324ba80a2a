// Flashes the status LED in bursts of two until the process is ended.

#include "flash_bursts.h"
#include "indicator.h"

int main()
{
    indicatorOpen();
    flashBursts(2);
}
