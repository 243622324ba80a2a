#pragma once

// The status LED as every glow program sees it: one pin, dimmed by a
// wiringPi soft-PWM channel. The library keeps the current duty value; the
// programs keep none.

// wiringPi pin numbering: BCM GPIO 23, header pin 16.
constexpr int indicatorPin = 4;
// Duty values count in hundredths of one 10 ms soft-PWM cycle.
constexpr int indicatorRange = 100;
// In force only until each program writes its own first value.
constexpr int indicatorInitial = 1;

constexpr int indicatorDark = 0;
constexpr int indicatorFull = indicatorRange;

// The rest that ends every cycle of the looping patterns.
constexpr int cyclePauseMs = 1000;

// Sets up GPIO access, makes the pin an output and starts the soft-PWM
// channel on it. If GPIO access or the channel cannot be had, says so in one
// line on stderr and exits with status 1 before any duty value is written.
void indicatorOpen();

// Makes duty (0..indicatorRange) the channel's value from its next cycle on.
void indicatorSet(int duty);
