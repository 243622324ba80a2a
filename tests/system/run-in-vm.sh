#!/usr/bin/env bash
# The system test: boots a Debian system of the build's architecture under
# qemu-system-arm or qemu-system-aarch64 (-M virt, software emulation) with
# systemd as PID 1, where guest.py installs this build's package with apt
# beside a wiringpi package and runs a pattern on the pin, then takes it
# through a reboot and a power-off with the shutdown pattern and the
# power-off program enabled. The wiringpi package holds the real wiringPi
# built from its released source (GLOW_WIRINGPI_SOURCE), which drives a
# register file in /dev that register_probe reads as the chip would. The
# guest's device tree names the board, as a Raspberry Pi's firmware does.
# The image is built once and kept in GLOW_IMAGE_CACHE; each run starts from
# it unchanged.
#   run-in-vm.sh BUILD_DIR SOURCE_DIR SUITE real pi3|pi5
# Exits 77 (skipped) where it cannot run: not root, or no wiringPi source.
set -euo pipefail
build=$(realpath "$1")
source=$(realpath "$2")
suite=$3 wiringpi=$4 board=$5
name=$suite-$wiringpi-$board
if [ "$(id -u)" -ne 0 ]; then
    echo "system: building and booting the image needs root; skipped"
    exit 77
fi
[ "$wiringpi" = real ] || { echo "system: a guest runs the real wiringPi, not '$wiringpi'" >&2; exit 2; }
wiringpi_source=${GLOW_WIRINGPI_SOURCE:-}
if [ ! -f "$wiringpi_source" ]; then
    echo "system: needs wiringPi's released source at GLOW_WIRINGPI_SOURCE ('$wiringpi_source'); skipped"
    exit 77
fi
"$source/scripts/install-deps" system
architecture=$(sed -n 's/^GLOW_DEB_ARCHITECTURE:STRING=//p' "$build/CMakeCache.txt")
case "$architecture" in
    armhf) qemu=(qemu-system-arm -cpu cortex-a15) triplet=arm-linux-gnueabihf user=qemu-arm ;;
    arm64) qemu=(qemu-system-aarch64 -cpu cortex-a57) triplet=aarch64-linux-gnu user=qemu-aarch64 ;;
    *) echo "system: no guest for architecture '$architecture'" >&2; exit 2 ;;
esac
# One run builds an image while another waits for it, then finds it built.
# The image's lock is held while the guest runs, so that no run removes it
# meanwhile; one removed before the lock was taken is built again.
cache=${GLOW_IMAGE_CACHE:-/var/cache/glow/system-images}
mkdir -p "$cache"
while :; do
    image=$("$source/tests/system/build-image.sh" "$cache" "$suite" "$architecture" | tail -n 1)
    exec 9<"$image.lock"
    flock -s 9
    [ ! -f "$image/image.raw" ] || break
    exec 9<&-
done

work="$build/system-test-$name"
rm -rf "$work"
mkdir -p "$work/debs"
cp "$build/programs.txt" "$build/virtual-board.env" "$build/tests/register_probe" "$work/"

# The packages the guest installs, wiringpi's the real library.
"$source/tests/support/make-debs.sh" "$build" "$work/debs" real "$wiringpi_source" "$triplet-gcc"

# What the guest needs to know of the board: the probe's account of it
# (revision, node, the node's size and words) and the LED's BCM GPIO from
# wiringPi's own pin table.
bcm=$(sed -n "$(($(sed -n 's/^GLOW_BOARD_LED=//p' "$build/virtual-board.env") + 1))p" \
    "$work/debs/wiringpi-build/pin-to-gpio")
{
    echo "BOARD=$board" "BCM=$bcm" | tr ' ' '\n'
    "$user" "$build/tests/register_probe" --board "$board"
} >"$work/board.env"
revision=$(sed -n 's/^REVISION=//p' "$work/board.env")

# The board's name in the device tree, where wiringPi looks first.
"${qemu[@]}" -M "virt,dumpdtb=$work/virt.dtb" -smp 2 -m 1024 -display none -nic none 2>/dev/null
dtc -q -I dtb -O dts "$work/virt.dtb" >"$work/board.dts"
echo "/ { system { linux,revision = <0x$revision>; }; };" >>"$work/board.dts"
dtc -q -I dts -O dtb -o "$work/board.dtb" "$work/board.dts"

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
    timeout -k 10 1200 "${qemu[@]}" -M virt -smp 2 -m 1024 -dtb "$work/board.dtb" \
        -display none -monitor none -serial "file:$work/console.$1" -no-reboot -nic none \
        -kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
        -append "root=/dev/vda rw console=ttyAMA0 panic=-1 quiet" \
        -drive "if=none,id=root,format=qcow2,file=$work/overlay.qcow2" \
        -device virtio-blk-device,drive=root \
        -fsdev "local,id=source,path=$source,security_model=none,readonly=on" \
        -device virtio-9p-device,fsdev=source,mount_tag=glowsrc \
        -fsdev "local,id=work,path=$work,security_model=none" \
        -device virtio-9p-device,fsdev=work,mount_tag=glowwork &
    qemu_pid=$!
    wait "$qemu_pid" || status=$?
    qemu_pid=
    echo "system: $name: boot $1 ran $(($(date +%s) - started)) s (QEMU status $status)"
}
qemu_pid=
trap '[ -z "$qemu_pid" ] || kill "$qemu_pid" 2>/dev/null || true' EXIT

# What the LED showed at the end of a shutdown, from the test's hook: lit
# or dark for the build's polarity, and whether the shutdown pattern ran.
# The hook prints the level words and, for the real wiringPi, the set and
# clear words: what the power-off program wrote once the probe had ended.
led_after() {
    local line low high set clear lit
    line=$(grep -a -o "glow-system-test: $2: .*" "$work/console.$1" | tail -n 1)
    [ -n "$line" ] || { echo "no word from the test's hook"; return; }
    read -r low high set clear <<<"$(echo "$line" |
        sed 's/.*levels \([0-9]*\) \([0-9]*\); writes \([0-9]*\) \([0-9]*\);.*/\1 \2 \3 \4/')"
    # Only the LED's pin is driven: its level is the one bit set, if any.
    local words=$((low | high << 32)) level=0
    [ "$words" -eq 0 ] || level=1
    [ $((words & (words - 1))) -eq 0 ] || { echo "more than one pin high ($low $high)"; return; }
    if [ "$set" -ne 0 ] && [ "$clear" -ne 0 ]; then
        echo "both set and cleared after the probe ended"; return
    fi
    [ "$set" -eq 0 ] || level=1
    [ "$clear" -eq 0 ] || level=0
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
echo "system: $name: after the reboot's shutdown the LED was $after_reboot"
echo "system: $name: after the power-off the LED was $after_poweroff"
case "$after_reboot" in "dark, shutdown pattern "[1-9]*) ;; *) passed=0 ;; esac
case "$after_poweroff" in "lit, shutdown pattern "[1-9]*) ;; *) passed=0 ;; esac
[ "$passed" = 1 ] && echo "system: $name: the story's shutdown: 2 passed, 0 failed" && exit 0
echo "system: the story's shutdown failed; the second console's end:"
tail -n 40 "$work/console.2"
exit 1
