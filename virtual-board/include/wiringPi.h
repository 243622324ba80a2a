// The virtual board's wiringPi header: the part of wiringPi's public C API
// that the glow programs use, with the same signatures and values.
#ifndef GLOW_VIRTUAL_BOARD_WIRINGPI_H
#define GLOW_VIRTUAL_BOARD_WIRINGPI_H

#define INPUT 0
#define OUTPUT 1

#define LOW 0
#define HIGH 1

#ifdef __cplusplus
extern "C" {
#endif

int wiringPiSetup(void);
void pinMode(int pin, int mode);
void digitalWrite(int pin, int value);
void delay(unsigned int howLong);

#ifdef __cplusplus
}
#endif

#endif
