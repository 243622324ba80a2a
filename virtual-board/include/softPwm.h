// The virtual board's soft-PWM header, as wiringPi's softPwm.h declares it.
#ifndef GLOW_VIRTUAL_BOARD_SOFTPWM_H
#define GLOW_VIRTUAL_BOARD_SOFTPWM_H

#ifdef __cplusplus
extern "C" {
#endif

int softPwmCreate(int pin, int value, int range);
void softPwmWrite(int pin, int value);

#ifdef __cplusplus
}
#endif

#endif
