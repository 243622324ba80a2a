# Cross-builds for arm64 Linux with Debian's crossbuild-essential-arm64; the
# tests run under qemu-user (Debian's qemu-user).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The tests run on the board's runtime as Debian's multiarch packages give it
# (libc6:arm64, libstdc++6:arm64, which libsystemd-dev:arm64 brings along): the
# cross tool-chain's own older C library beside them would mix two loaders.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
