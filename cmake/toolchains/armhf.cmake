# Cross-builds for armhf Linux with Debian's crossbuild-essential-armhf; the
# tests run under qemu-user (Debian's qemu-user).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The tests run on the board's runtime as Debian's multiarch packages give it
# (libc6:armhf, libstdc++6:armhf, which libsystemd-dev:armhf brings along): the
# cross tool-chain's own older C library beside them would mix two loaders.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
