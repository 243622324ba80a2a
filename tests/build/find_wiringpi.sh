#!/usr/bin/env bash
# The build against an installed wiringPi, which this machine does not have:
# a stand-in prefix holding the virtual board's headers and library as a
# wiringPi installation would. SYSTEM must find and link it, AUTO must fall
# back to the virtual board without one, and SYSTEM must fail without one.
#   find_wiringpi.sh SOURCE_DIR VIRTUAL_BOARD_LIBRARY
set -euo pipefail
source_dir=$1
library=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/prefix/include" "$work/prefix/lib"
cp "$source_dir"/virtual-board/include/*.h "$work/prefix/include/"
cp "$library" "$work/prefix/lib/"

configure() { cmake -S "$source_dir" -B "$work/$1" -DBUILD_TESTING=OFF "${@:2}"; }

configure system -DGLOW_WIRINGPI=SYSTEM -DCMAKE_PREFIX_PATH="$work/prefix" >"$work/system.log"
grep -q "programs link the installed wiringPi ($work/prefix/lib/libwiringPi.so)" "$work/system.log"
cmake --build "$work/system" --target glowfull >/dev/null
readelf -d "$work/system/programs/glowfull" | grep -q "Library runpath: \[$work/prefix/lib"

# A machine with wiringPi of its own (a board) has nothing to fall back from.
if [ -e /usr/include/wiringPi.h ] || [ -e /usr/local/include/wiringPi.h ]; then
    echo "find_wiringpi: SYSTEM finds an installed wiringPi (this machine has its own)"
    exit 0
fi

configure auto -DGLOW_WIRINGPI=AUTO >"$work/auto.log"
grep -q "programs link the virtual board" "$work/auto.log"

if configure missing -DGLOW_WIRINGPI=SYSTEM >"$work/missing.log" 2>&1; then
    echo "SYSTEM configured without any wiringPi installed" >&2
    exit 1
fi
grep -q "Could NOT find WiringPi" "$work/missing.log"
echo "find_wiringpi: SYSTEM finds an installed wiringPi, AUTO falls back, SYSTEM without one fails"
