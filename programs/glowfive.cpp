// Flashes the status LED in bursts of five until the process is ended.

#include "flash_bursts.h"
#include "indicator.h"

int main()
{
    indicatorOpen();
    flashBursts(5);
}
