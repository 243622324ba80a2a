# glow::program_flags: how the shipped programs (and the code they link) are
# compiled and linked. Hardened as distributions build their packages, free of
# the C++ runtime, so that a program needs only wiringPi and libc at run time,
# and free of this machine's paths, so that two builds of one commit match.

include(CheckPIESupported)
check_pie_supported()
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

add_library(glow_program_flags INTERFACE)
add_library(glow::program_flags ALIAS glow_program_flags)
target_compile_options(glow_program_flags INTERFACE
    -fno-exceptions -fno-rtti
    -fstack-protector-strong
    $<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2>
    -ffile-prefix-map=${PROJECT_SOURCE_DIR}/=
    -ffile-prefix-map=${PROJECT_BINARY_DIR}/=)
target_link_options(glow_program_flags INTERFACE
    LINKER:-z,relro LINKER:-z,now LINKER:--as-needed)
