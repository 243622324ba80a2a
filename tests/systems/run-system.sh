#!/usr/bin/env bash
# Boots a throw-away Debian system with a real systemd as PID 1, where this
# build's Debian package is installed with apt beside a wiringpi package,
# and runs harness.py there against what the package installed: the checks
# of the row's kind, then the system's shutdown.
#   run-system.sh BUILD_DIR SOURCE_DIR KIND RELEASE ARCH WIRINGPI BOARD [STEP...]
# KIND container: this machine's architecture (ARCH native) under
#   systemd-nspawn, on the virtual board, installed before the boot; the
#   shutdown's check runs as the services stop.
# KIND guest: the build's ARCH (armhf or arm64) under qemu-system-arm or
#   -aarch64 (-M virt, software emulation), on the real wiringPi built from
#   its released source (GLOW_WIRINGPI_SOURCE), installed by the harness; it
#   drives a register file in /dev that register_probe reads as the chip
#   would, and the device tree names the BOARD (pi3 or pi5) as a Pi's
#   firmware does. It reboots, then powers off; the shutdown's check runs as
#   a hook after the file systems are unmounted, and tells the console.
# build-system.sh makes the system once into GLOW_SYSTEM_CACHE (default
# /var/cache/glow/systems); each run writes to an overlay of its own.
# Exits 77 (skipped) where it cannot run: not root, or a guest without the
# wiringPi source.
set -euo pipefail
build=$(realpath "$1")
source=$(realpath "$2")
kind=$3 release=$4 arch=$5 wiringpi=$6 board=$7
shift 7

if [ "$(id -u)" -ne 0 ]; then
    echo "system: booting a $kind needs root; skipped"
    exit 77
fi
case "$kind-$wiringpi" in
    container-virtual)
        command -v systemd-nspawn >/dev/null || {
            echo "system: no systemd-nspawn (scripts/install-deps test installs systemd-container)" >&2
            exit 1
        }
        [ "$arch" = native ] && arch=$(dpkg --print-architecture)
        phases="boot shutdown"
        ;;
    guest-real)
        wiringpi_source=${GLOW_WIRINGPI_SOURCE:-}
        if [ ! -f "$wiringpi_source" ]; then
            echo "system: needs wiringPi's released source at GLOW_WIRINGPI_SOURCE ('$wiringpi_source'); skipped"
            exit 77
        fi
        "$source/scripts/install-deps" system
        case "$arch" in
            armhf) qemu=(qemu-system-arm -cpu cortex-a15) triplet=arm-linux-gnueabihf user=qemu-arm ;;
            arm64) qemu=(qemu-system-aarch64 -cpu cortex-a57) triplet=aarch64-linux-gnu user=qemu-aarch64 ;;
        esac
        phases="boot reboot rebooted poweroff"
        ;;
    *) echo "system: a container runs the virtual board, a guest the real wiringPi, not a $kind on '$wiringpi'" >&2
       exit 2 ;;
esac
name="$kind $release $arch"
built=$(sed -n 's/^GLOW_DEB_ARCHITECTURE:STRING=//p' "$build/CMakeCache.txt")
[ "$built" = "$arch" ] || { echo "system: the build is for $built, the $kind for $arch" >&2; exit 2; }

cache=${GLOW_SYSTEM_CACHE:-/var/cache/glow/systems}
mkdir -p "$cache"
# One run builds the system while another waits for it, then finds it
# built. Its lock is held while the system runs, so that no run removes it
# meanwhile; one removed before the lock was taken is built again.
while :; do
    system=$("$source/tests/systems/build-system.sh" "$cache" "$kind" "$release" "$arch" | tail -n 1)
    exec 9<"$system.lock"
    flock -s 9
    [ ! -f "$system/.complete" ] || break
    exec 9<&-
done

work=$(mktemp -d /tmp/glow-system-XXXXXX)
out="$work/out" root="$work/root"
# nspawn with --keep-unit makes its payload and supervisor cgroups inside
# the one it runs in: each run starts it in a cgroup of its own, named after
# its work folder, so that two runs side by side never meet, and removes
# that one, deepest first, once the container has ended. QEMU is ended by
# its pid on every way out. The clean-up goes on past anything it cannot do.
cgroup=$(basename "$work")
if [ -f /sys/fs/cgroup/cgroup.procs ]; then
    hierarchies=(/sys/fs/cgroup)
else
    hierarchies=()
    for hierarchy in /sys/fs/cgroup/systemd /sys/fs/cgroup/unified; do
        [ ! -d "$hierarchy" ] || hierarchies+=("$hierarchy")
    done
fi
qemu_pid=
clean_up() {
    [ -z "$qemu_pid" ] || kill "$qemu_pid" 2>/dev/null || true
    if mountpoint -q "$root"; then
        umount "$root" || umount -l "$root" || true
    fi
    mountpoint -q "$root" || rm -rf "$work" || true
    for hierarchy in "${hierarchies[@]}"; do
        if [ -d "$hierarchy/$cgroup" ]; then
            find "$hierarchy/$cgroup" -depth -type d -exec rmdir {} + 2>/dev/null || true
        fi
    done
}
trap clean_up EXIT

# What the harness reads: the row, the build's programs and wiring, the
# steps asked for, and the packages it installs.
mkdir -p "$out"
cp "$build/programs.txt" "$build/virtual-board.env" "$out/"
printf '%s\n' "KIND=$kind" "BOARD=$board" "STEPS=$*" "IDLE_S=${GLOW_IDLE_S:-60}" >"$out/test.env"
if [ "$kind" = container ]; then
    "$source/tests/support/make-debs.sh" "$build" "$out/debs" virtual
else
    "$source/tests/support/make-debs.sh" "$build" "$out/debs" real "$wiringpi_source" "$triplet-gcc"
fi

# container ARGUMENTS...: systemd-nspawn on the overlay, in this run's cgroup.
# The unified cgroup hierarchy, as a board's systemd has it.
container() {
    (
        for hierarchy in "${hierarchies[@]}"; do
            mkdir -p "$hierarchy/$cgroup"
            echo "$BASHPID" >"$hierarchy/$cgroup/cgroup.procs"
        done
        # SIGTERM at the limit (timeout's default) lets nspawn stop the container.
        exec timeout 600 env SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 systemd-nspawn -D "$root" --register=no \
            --machine="$cgroup" --private-network --keep-unit --quiet \
            --bind-ro="$build":/opt/glow --bind-ro="$source":/opt/glow-src --bind="$out":/opt/glow-out "$@"
    )
}

boot_container() {
    mkdir -p "$root" "$work/upper" "$work/overlay"
    mount -t overlay overlay -o "lowerdir=$system/root,upperdir=$work/upper,workdir=$work/overlay" "$root"
    # The package installed as on a minimal system, with a booting pattern
    # and a ready one chosen as their owner chooses.
    container -- /bin/sh -c '/usr/bin/python3 /opt/glow-src/tests/systems/harness.py /opt/glow-out --install &&
        systemctl enable glow-booting@glowbreathe.service glowfull.service' >"$work/install.log" 2>&1 || {
        echo "system: installing the package failed:"
        tail -n 30 "$work/install.log"
        return 1
    }
    local units="$root/etc/systemd/system"
    mkdir -p "$root/etc/sysusers.d" "$units/sysinit.target.wants" "$units/multi-user.target.wants" \
        "$root/usr/local/lib/systemd/system/glow-gpio.service.d"
    # Users who ask systemd to switch patterns: one in gpio, one not.
    printf '%s\n' 'u switcher - "in gpio"' 'm switcher gpio' 'u stranger - "not in gpio"' \
        >"$root/etc/sysusers.d/test-users.conf"

    # The board's GPIO device is a file that the harness makes, takes away
    # and gives to gpio; the programs open it through the virtual board.
    # These drop-ins are the test's, not the system's own: a purge leaves them.
    local device=/run/glow-gpio/gpiomem unit drop_ins
    for unit in $(grep -l '^ExecStart=/usr/' "$root"/usr/lib/systemd/system/glow*.service); do
        drop_ins="$root/usr/local/lib/systemd/system/${unit##*/}.d"
        mkdir -p "$drop_ins"
        {
            echo "[Service]"
            echo "Environment=GLOW_BOARD_TRACE_DIR=/run/glow-traces GLOW_BOARD_GPIO_DEVICE=$device"
            # The LED's pin and polarity, as this build was made for.
            sed -n 's/^\(GLOW_BOARD_LED[A-Z_]*=.*\)/Environment=\1/p' "$build/virtual-board.env"
            echo "ReadWritePaths=/run/glow-traces"
        } >"$drop_ins/test-board.conf"
    done
    printf '[Service]\nEnvironment=GLOW_GPIO_DEVICES=%s\n' "$device" \
        >"$root/usr/local/lib/systemd/system/glow-gpio.service.d/test-board.conf"

    # The GPIO device is given to gpio 3 s into the boot, as a late driver
    # would, and a slow service holds multi-user.target back for 5 s, as a
    # board's own services would: the first check reads what the LED did.
    cat >"$units/test-late-device.service" <<EOF
[Unit]
DefaultDependencies=no
After=systemd-sysusers.service systemd-tmpfiles-setup.service
[Service]
ExecStart=/bin/sh -c 'mkdir -p /run/glow-traces /run/glow-gpio && chmod 1777 /run/glow-traces && \\
    : >$device && chmod 0600 $device && sleep 3 && chgrp gpio $device && chmod 0660 $device'
EOF
    printf '[Unit]\nBefore=multi-user.target\n[Service]\nType=oneshot\nExecStart=/bin/sleep 5\n' \
        >"$units/test-slow-service.service"
    ln -s ../test-slow-service.service "$units/multi-user.target.wants/"
    ln -s ../test-late-device.service "$units/sysinit.target.wants/"
    # This unit's stop, among the other services', runs the shutdown's check.
    cat >"$units/test-stopping.service" <<EOF
[Service]
Type=oneshot
RemainAfterExit=yes
ExecStart=/bin/true
ExecStop=/usr/bin/python3 /opt/glow-src/tests/systems/harness.py /opt/glow-out --shutdown
EOF
    ln -s ../test-stopping.service "$units/multi-user.target.wants/"
    container --boot -- systemd.unit=multi-user.target systemd.firstboot=off >"$work/console" 2>&1 || true
}

boot_guest() {
    cp "$build/tests/register_probe" "$out/"
    # What the guest needs to know of the board: the probe's account of it
    # (revision, node, the node's size and words) and the LED's BCM GPIO
    # from wiringPi's own pin table.
    local bcm revision
    bcm=$(sed -n "$(($(sed -n 's/^GLOW_BOARD_LED=//p' "$build/virtual-board.env") + 1))p" \
        "$out/debs/wiringpi-build/pin-to-gpio")
    {
        echo "BOARD=$board" "BCM=$bcm" | tr ' ' '\n'
        "$user" "$build/tests/register_probe" --board "$board"
    } >"$out/board.env"
    revision=$(sed -n 's/^REVISION=//p' "$out/board.env")
    # The board's name in the device tree, where wiringPi looks first.
    "${qemu[@]}" -M "virt,dumpdtb=$work/virt.dtb" -smp 2 -m 1024 -display none -nic none 2>/dev/null
    dtc -q -I dtb -O dts "$work/virt.dtb" >"$work/board.dts"
    echo "/ { system { linux,revision = <0x$revision>; }; };" >>"$work/board.dts"
    dtc -q -I dts -O dtb -o "$work/board.dtb" "$work/board.dts"

    # Two boots from one overlay of the image, so that the second finds
    # what the first installed and enabled: the first ends in an orderly
    # reboot, the second in an orderly power-off.
    qemu-img create -q -f qcow2 -b "$system/image.raw" -F raw "$work/overlay.qcow2"
    local boot started status
    for boot in 1 2; do
        started=$(date +%s) status=0
        # A guest that panics ends QEMU (panic=-1, -no-reboot), and so does
        # its reboot; one that hangs is ended by timeout.
        timeout -k 10 1200 "${qemu[@]}" -M virt -smp 2 -m 1024 -dtb "$work/board.dtb" \
            -display none -monitor none -serial "file:$work/console.$boot" -no-reboot -nic none \
            -kernel "$system/vmlinuz" -initrd "$system/initrd.img" \
            -append "root=/dev/vda rw console=ttyAMA0 panic=-1 quiet" \
            -drive "if=none,id=root,format=qcow2,file=$work/overlay.qcow2" \
            -device virtio-blk-device,drive=root \
            -fsdev "local,id=source,path=$source,security_model=none,readonly=on" \
            -device virtio-9p-device,fsdev=source,mount_tag=glowsrc \
            -fsdev "local,id=out,path=$out,security_model=none" \
            -device virtio-9p-device,fsdev=out,mount_tag=glowout &
        qemu_pid=$!
        wait "$qemu_pid" || status=$?
        qemu_pid=
        echo "system: $name: boot $boot ran $(($(date +%s) - started)) s (QEMU status $status)"
        # The hook's report, told on the console once nothing else was left.
        tr -d '\r' <"$work/console.$boot" | sed -n 's/.*glow-test-report: //p' >"$out/hook.report"
        if [ -s "$out/hook.report" ]; then
            mv "$out/hook.report" "$out/$(sed -n 's/: [0-9]* passed, .*//p' "$out/hook.report").report"
        fi
        # Only a first boot whose checks all passed goes on to the second.
        tail -n 1 "$out/boot.report" 2>/dev/null | grep -q " 0 failed$" || break
    done
    cat "$work"/console.* >"$work/console"
}

"boot_$kind"
# Each phase's report, in the order they ran; all of them, each passed.
status=0
for phase in $phases; do
    if [ -s "$out/$phase.report" ]; then
        cat "$out/$phase.report"
        tail -n 1 "$out/$phase.report" | grep -q " 0 failed$" || status=1
    else
        echo "system: $name: no report of the $phase"
        status=1
    fi
done
if [ "$status" -ne 0 ]; then
    echo "system: $name failed; the end of its console:"
    tail -n 60 "$work/console"
fi
# Kept for a look afterwards: the consoles, and the reports with each step's time.
kept="$build/systems/$kind-$release-$arch"
rm -rf "$kept"
mkdir -p "$kept"
cp "$work"/console* "$out"/*.report "$kept/" 2>/dev/null || true
exit "$status"
