#pragma once

// What the preloaded usleep interposer needs of the virtual board. Not part
// of the wiringPi API.
extern "C" {
int glowBoardUsleep(unsigned int microseconds);
void glowBoardNoteUsleepInterposed(void);
}
