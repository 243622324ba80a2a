#pragma once

// The status LED as every glow program sees it: one pin, dimmed by a
// wiringPi soft-PWM channel. The library keeps the current duty value; the
// programs keep none.

// wiringPi pin numbering, as the build sets it (GLOW_PIN); by default 4,
// which is BCM GPIO 23, header pin 16.
constexpr int indicatorPin = GLOW_PIN;
// An LED wired from 3.3 V into the pin lights when the pin is low: every
// value handed to wiringPi is then mirrored, so that the light follows the
// patterns as they are written here (GLOW_ACTIVE_LOW).
constexpr bool indicatorActiveLow = GLOW_ACTIVE_LOW != 0;
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
// line on stderr and exits with status 1 before any duty value is written,
// the pin driven dark where GPIO access was had.
void indicatorOpen();

// Sets up GPIO access and drives the pin dark as a plain output, with no
// channel: one write, no thread that could still light it later. If GPIO
// access cannot be had, says so and exits with status 1, as indicatorOpen.
void indicatorDarken();

// Makes duty (0..indicatorRange), the share of each cycle the LED is lit,
// the channel's value from its next cycle on.
void indicatorSet(int duty);
