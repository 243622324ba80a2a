// Preloaded into a program on the virtual board so that its libc usleep calls
// are traced and, in virtual time, cost no real time. The program's code and
// binary stay as they are on the board.

#include "sleep_hooks.h"

#include <unistd.h>

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): libc names it __useconds
extern "C" __attribute__((visibility("default"))) int usleep(useconds_t microseconds)
{
    return glowBoardUsleep(microseconds);
}

__attribute__((constructor)) static void announceInterposer()
{
    glowBoardNoteUsleepInterposed();
}
