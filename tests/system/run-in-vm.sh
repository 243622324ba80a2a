#!/usr/bin/env bash
# The system test: boots an armhf Debian 12 system under qemu-system-arm
# (-M virt, software emulation) with systemd as PID 1, where guest.py
# installs this build's package with apt beside a wiringpi package made of
# the virtual board for this test only, and takes it through switching,
# upgrade, removal and purge. The image is built once and kept in the build
# folder; each boot starts from it unchanged.
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

started=$(date +%s)
# A guest that panics ends QEMU (panic=-1, -no-reboot); one that hangs is
# ended by timeout, and QEMU by its pid on every other way out.
timeout -k 10 600 qemu-system-arm -M virt -cpu cortex-a15 -smp 2 -m 1024 \
    -display none -monitor none -serial "file:$work/console" -no-reboot -nic none \
    -kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
    -append "root=/dev/vda rw console=ttyAMA0 panic=-1 quiet" \
    -drive "if=none,id=root,format=raw,file=$image/image.raw,snapshot=on" \
    -device virtio-blk-device,drive=root \
    -fsdev "local,id=source,path=$source,security_model=none,readonly=on" \
    -device virtio-9p-device,fsdev=source,mount_tag=glowsrc \
    -fsdev "local,id=work,path=$work,security_model=none" \
    -device virtio-9p-device,fsdev=work,mount_tag=glowwork &
qemu=$!
trap 'kill "$qemu" 2>/dev/null || true' EXIT
status=0
wait "$qemu" || status=$?
echo "system: the virtual machine ran $(($(date +%s) - started)) s (QEMU status $status)"

if [ -s "$work/report" ]; then
    cat "$work/report"
    tail -n 1 "$work/report" | grep -q " 0 failed$" && exit 0
else
    echo "system: the guest left no report; its console:"
    tail -n 60 "$work/console"
fi
exit 1
