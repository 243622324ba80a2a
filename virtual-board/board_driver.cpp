// Drives a board through a script of wiringPi calls given as arguments, so
// that the board's behaviour can be checked from its trace, and prints what
// each call that returns a value returned ("setup 0"):
//   setup | mode PIN MODE | create PIN VALUE RANGE | write PIN VALUE
//   digital PIN LEVEL
//   delay MS | usleep US

#include <softPwm.h>
#include <wiringPi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

namespace {

int number(char** argv, int& index, int argc)
{
    if (index >= argc) {
        std::fprintf(stderr, "board_driver: missing number after %s\n", argv[index - 1]);
        std::exit(2);
    }
    return std::atoi(argv[index++]);
}

}  // namespace

int main(int argc, char** argv)
{
    for (int index = 1; index < argc;) {
        const char* operation = argv[index++];
        if (std::strcmp(operation, "setup") == 0) {
            std::printf("setup %d\n", wiringPiSetup());
        } else if (std::strcmp(operation, "mode") == 0) {
            const int pin = number(argv, index, argc);
            pinMode(pin, number(argv, index, argc));
        } else if (std::strcmp(operation, "create") == 0) {
            const int pin = number(argv, index, argc);
            const int value = number(argv, index, argc);
            std::printf("create %d\n", softPwmCreate(pin, value, number(argv, index, argc)));
        } else if (std::strcmp(operation, "write") == 0) {
            const int pin = number(argv, index, argc);
            softPwmWrite(pin, number(argv, index, argc));
        } else if (std::strcmp(operation, "digital") == 0) {
            const int pin = number(argv, index, argc);
            digitalWrite(pin, number(argv, index, argc));
        } else if (std::strcmp(operation, "delay") == 0) {
            delay(static_cast<unsigned int>(number(argv, index, argc)));
        } else if (std::strcmp(operation, "usleep") == 0) {
            usleep(static_cast<useconds_t>(number(argv, index, argc)));
        } else {
            std::fprintf(stderr, "board_driver: unknown operation %s\n", operation);
            return 2;
        }
    }
    return 0;
}
