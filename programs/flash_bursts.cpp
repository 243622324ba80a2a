#include "flash_bursts.h"

#include "indicator.h"

#include <unistd.h>
#include <wiringPi.h>

constexpr useconds_t flashOnUs = 200000;
constexpr useconds_t flashOffUs = 150000;

void flashBursts(int burstCount)
{
    for (;;) {
        for (int flash = 0; flash < burstCount; ++flash) {
            indicatorSet(indicatorFull);
            usleep(flashOnUs);
            indicatorSet(indicatorDark);
            usleep(flashOffUs);
        }
        delay(cyclePauseMs);
    }
}
