#!/usr/bin/env bash
# Builds the real wiringPi library from its released source, for the tests
# only (never shipped): OUT/libwiringPi.so, the release's version in
# OUT/VERSION, and in OUT/pin-to-gpio the BCM GPIO of each wiringPi pin,
# one a line from pin 0, from wiringPi's own table for boards since the
# Pi 2.
#   build-wiringpi.sh SOURCE.tar.gz CC OUT
set -euo pipefail
tarball=$1 cc=$2 out=$3
mkdir -p "$out/source"
tar xzf "$tarball" -C "$out/source"
library=$(echo "$out"/source/*/wiringPi)
# The library proper; its network, serial-device and extension sources are
# nothing the programs use.
(cd "$library" && "$cc" -O2 -shared -fPIC -D_GNU_SOURCE -Wl,-soname,libwiringPi.so \
    -o "$(realpath "$out")/libwiringPi.so" wiringPi.c wiringSerial.c wiringShift.c piHiPri.c \
    piThread.c wiringPiSPI.c wiringPiI2C.c softPwm.c softTone.c wiringPiLegacy.c -I. \
    -lm -lpthread -lrt)
cp "$out"/source/*/VERSION "$out/VERSION"
sed -n '/pinToGpioR2 \[64\]/,/}/p' "$library/wiringPi.c" | sed 's|//.*||' | tr ',' '\n' |
    tr -d ' \t{}=' | grep -E '^-?[0-9]+$' >"$out/pin-to-gpio"
