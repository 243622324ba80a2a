#!/usr/bin/env bash
# The packages a test system installs with apt, into OUT: this build's
# package as a board gets it (glow.deb), the same rebuilt as a higher version
# (glow-upgrade.deb), and a wiringpi package (wiringpi.deb) holding the
# virtual board, of a version the package accepts, or the real library built
# from wiringPi's released source with the build's compiler and named as its
# release is. Built for the tests only and never shipped.
#   make-debs.sh BUILD_DIR OUT virtual
#   make-debs.sh BUILD_DIR OUT real WIRINGPI_SOURCE C_COMPILER
set -euo pipefail
build=$(realpath "$1")
out=$2 wiringpi=$3
mkdir -p "$out"
out=$(realpath "$out")
architecture=$(sed -n 's/^GLOW_DEB_ARCHITECTURE:STRING=//p' "$build/CMakeCache.txt")

(cd "$build" && cpack -G DEB -B "$out/cpack") >"$out/cpack.log"
cp "$out"/cpack/glow_*.deb "$out/glow.deb"
dpkg-deb -R "$out/glow.deb" "$out/upgrade"
sed -i "s/^Version: .*/&+1/" "$out/upgrade/DEBIAN/control"
dpkg-deb --build --root-owner-group "$out/upgrade" "$out/glow-upgrade.deb" >/dev/null
rm -rf "$out/cpack" "$out/upgrade"

stand_in="$out/wiringpi"
rm -rf "$stand_in"
mkdir -p "$stand_in/DEBIAN" "$stand_in/usr/lib"
if [ "$wiringpi" = virtual ]; then
    cp "$build/virtual-board/libwiringPi.so" "$stand_in/usr/lib/"
    version=3.0+virtualboard description="glow's virtual board in place of wiringPi"
else
    "$(dirname "$0")/../contract/build-wiringpi.sh" "$4" "$5" "$out/wiringpi-build"
    cp "$out/wiringpi-build/libwiringPi.so" "$stand_in/usr/lib/"
    version=$(cat "$out/wiringpi-build/VERSION") description="wiringPi, built from its released source"
fi
cat >"$stand_in/DEBIAN/control" <<CONTROL
Package: wiringpi
Version: $version
Architecture: $architecture
Maintainer: glow developers <glow@users.noreply.github.com>
Depends: libc6, libstdc++6
Description: $description, for glow's tests only
CONTROL
dpkg-deb --build --root-owner-group "$stand_in" "$out/wiringpi.deb" >/dev/null
rm -rf "$stand_in"
