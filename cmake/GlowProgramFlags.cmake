# glow::program_flags: how the shipped programs (and the code they link) are
# compiled and linked. Hardened as distributions build their packages, and
# free of the C++ runtime, so that a program needs only wiringPi and libc at
# run time. -frecord-gcc-switches keeps the flags in the binary, where the
# tests check them.

include(CheckPIESupported)
check_pie_supported()
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

add_library(glow_program_flags INTERFACE)
add_library(glow::program_flags ALIAS glow_program_flags)
target_compile_options(glow_program_flags INTERFACE
    -fno-exceptions -fno-rtti
    -fstack-protector-strong
    $<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2>
    -frecord-gcc-switches)
target_link_options(glow_program_flags INTERFACE
    LINKER:-z,relro LINKER:-z,now LINKER:--as-needed)
