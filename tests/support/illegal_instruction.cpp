// A program the processor cannot run: its first instruction is undefined,
// as ARMv7 code is to the ARMv6 processor of a Pi 1 or Zero, and it is
// killed by SIGILL.
int main()
{
    __builtin_trap();
}
