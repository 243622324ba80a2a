// Built with the programs' own flags, never shipped: the programs have no
// buffer for the stack protector to guard, so this one shows from its
// imports that the protector and the checked libc calls are on.

#include <cstring>

int main(int argc, char** argv)
{
    char name[32];
    // A copy whose length only the run knows: fortified, it is checked.
    // NOLINTNEXTLINE(clang-analyzer-security.insecureAPI.strcpy): the unchecked copy is the point
    std::strcpy(name, argc > 1 ? argv[1] : "");
    return name[0] == '-';
}
