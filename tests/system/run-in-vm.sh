#!/usr/bin/env bash
# The system test: boots an armhf Debian 12 system under qemu-system-arm
# (-M virt, software emulation) with systemd as PID 1, where guest.py
# installs this build's package with apt beside a wiringpi package made of
# the virtual board for this test only, and takes it through switching,
# upgrade, removal and purge, then through a reboot and a power-off with the
# shutdown pattern and the power-off program enabled. The image is built
# once and kept in the build folder; each run starts from it unchanged.
#   run-in-vm.sh BUILD_DIR SOURCE_DIR
# Exits 77 (skipped) where it cannot run: not root.
set -euo pipefail
build=$(realpath "$1")
source=$(realpath "$2")
if [ "$(id -u)" -ne 0 ]; then
    echo "system: building and booting the image needs root; skipped"
    exit 77
fi
"$source/scripts/install-deps" system
image=$("$source/tests/system/build-image.sh" "$build/system-image" | tail -n 1)

work="$build/system-test"
rm -rf "$work"
mkdir -p "$work/debs"
cp "$build/programs.txt" "$work/"

# The package as a board gets it, and the same rebuilt as a higher version.
(cd "$build" && cpack -G DEB -B "$work/cpack") >"$work/cpack.log"
deb=$(ls "$work"/cpack/glow_*.deb)
cp "$deb" "$work/debs/glow.deb"
dpkg-deb -R "$deb" "$work/upgrade"
sed -i "s/^Version: .*/&+1/" "$work/upgrade/DEBIAN/control"
dpkg-deb --build --root-owner-group "$work/upgrade" "$work/debs/glow-upgrade.deb" >/dev/null

# wiringpi of a version the package accepts, holding the virtual board as
# libwiringPi.so; built here for this test and never shipped.
stand_in="$work/wiringpi"
mkdir -p "$stand_in/DEBIAN" "$stand_in/usr/lib"
cp "$build/virtual-board/libwiringPi.so" "$stand_in/usr/lib/"
cat >"$stand_in/DEBIAN/control" <<CONTROL
Package: wiringpi
Version: 3.0+virtualboard
Architecture: $(dpkg-deb -f "$deb" Architecture)
Maintainer: glow developers <glow@users.noreply.github.com>
Depends: libc6, libstdc++6
Description: glow's virtual board in place of wiringPi, for glow's system test only
CONTROL
dpkg-deb --build --root-owner-group "$stand_in" "$work/debs/wiringpi.deb" >/dev/null

# The guest boots twice from one overlay of the image, so that the second
# boot finds what the first installed and enabled: the first ends in an
# orderly reboot, the second in an orderly power-off. Each time glow's
# shutdown hook has run, the test's own hook prints what the LED was left at.
qemu-img create -q -f qcow2 -b "$image/image.raw" -F raw "$work/overlay.qcow2"
boot() {
    local started status=0
    started=$(date +%s)
    # A guest that panics ends QEMU (panic=-1, -no-reboot), and so does its
    # reboot; one that hangs is ended by timeout, and QEMU by its pid on
    # every other way out.
    timeout -k 10 600 qemu-system-arm -M virt -cpu cortex-a15 -smp 2 -m 1024 \
        -display none -monitor none -serial "file:$work/console.$1" -no-reboot -nic none \
        -kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
        -append "root=/dev/vda rw console=ttyAMA0 panic=-1 quiet" \
        -drive "if=none,id=root,format=qcow2,file=$work/overlay.qcow2" \
        -device virtio-blk-device,drive=root \
        -fsdev "local,id=source,path=$source,security_model=none,readonly=on" \
        -device virtio-9p-device,fsdev=source,mount_tag=glowsrc \
        -fsdev "local,id=work,path=$work,security_model=none" \
        -device virtio-9p-device,fsdev=work,mount_tag=glowwork &
    qemu=$!
    wait "$qemu" || status=$?
    qemu=
    echo "system: boot $1 ran $(($(date +%s) - started)) s (QEMU status $status)"
}
qemu=
trap '[ -z "$qemu" ] || kill "$qemu" 2>/dev/null || true' EXIT

# What the LED showed at the end of a shutdown, from the test's hook: lit
# or dark for the build's polarity, and whether the shutdown pattern ran.
led_after() {
    local line low high lit
    line=$(grep -a -o "glow-system-test: $2: .*" "$work/console.$1" | tail -n 1)
    [ -n "$line" ] || { echo "no word from the test's hook"; return; }
    read -r low high <<<"$(echo "$line" | sed 's/.*levels\([0-9 ]*\);.*/\1/')"
    # Only the LED's pin is driven: its level is the one bit set, if any.
    local words=$((low | high << 32)) level=0
    [ "$words" -eq 0 ] || level=1
    [ $((words & (words - 1))) -eq 0 ] || { echo "more than one pin high ($low $high)"; return; }
    local lit_level=1
    grep -q '^GLOW_BOARD_LED_ACTIVE=low' "$build/virtual-board.env" && lit_level=0
    [ "$level" = "$lit_level" ] && lit=lit || lit=dark
    echo "$lit, $(echo "$line" | sed 's/.*; //')"
}

passed=0
boot 1
if [ -s "$work/report" ]; then
    cat "$work/report"
    tail -n 1 "$work/report" | grep -q " 0 failed$" && passed=1
    mv "$work/report" "$work/report.1"
else
    echo "system: the guest left no report; its console:"
    tail -n 60 "$work/console.1"
fi
[ "$passed" = 1 ] || exit 1
boot 2
[ -s "$work/report" ] && cat "$work/report"
tail -n 1 "$work/report" 2>/dev/null | grep -q " 0 failed$" || passed=0
after_reboot=$(led_after 1 reboot)
after_poweroff=$(led_after 2 poweroff)
echo "system: after the reboot's shutdown the LED was $after_reboot"
echo "system: after the power-off the LED was $after_poweroff"
case "$after_reboot" in "dark, glowtwice runs "[1-9]*) ;; *) passed=0 ;; esac
case "$after_poweroff" in "lit, glowtwice runs "[1-9]*) ;; *) passed=0 ;; esac
[ "$passed" = 1 ] && echo "system: the story's shutdown: 2 passed, 0 failed" && exit 0
echo "system: the story's shutdown failed; the second console's end:"
tail -n 40 "$work/console.2"
exit 1
