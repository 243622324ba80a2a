#!/usr/bin/env bash
# Boots a real systemd as PID 1 in a throw-away container of a Debian
# release and runs scenarios.py there against the systemd units as the
# build installs them. Drop-ins change only paths: the programs and the
# virtual board come from the build folder, and each process writes its own
# trace.
#   run-in-container.sh BUILD_DIR SOURCE_DIR RELEASE [SCENARIO...]   (default: all)
# RELEASE is bookworm or trixie, whose root file system build-root.sh makes
# once into GLOW_ROOT_CACHE (default /var/cache/glow/container-roots).
# Exits 77 (skipped) where containers cannot be started: not root.
set -euo pipefail
build=$(realpath "$1")
source=$(realpath "$2")
release=$3
shift 3

if [ "$(id -u)" -ne 0 ]; then
    echo "services: booting a container needs root; skipped"
    exit 77
fi
command -v systemd-nspawn >/dev/null || {
    echo "services: no systemd-nspawn (scripts/install-deps test installs systemd-container)" >&2
    exit 1
}

root=$("$source/tests/services/build-root.sh" "${GLOW_ROOT_CACHE:-/var/cache/glow/container-roots}" \
    "$release" | tail -n 1)
work=$(mktemp -d /tmp/glow-services-XXXXXX)
# nspawn with --keep-unit makes its payload and supervisor cgroups inside
# the one it runs in: each run starts it in a cgroup of its own, named after
# its work folder, so that two runs side by side never meet, and removes
# that one, deepest first, once the container has ended. The clean-up goes
# on past anything it cannot remove.
cgroup=$(basename "$work")
if [ -f /sys/fs/cgroup/cgroup.procs ]; then
    hierarchies=(/sys/fs/cgroup)
else
    hierarchies=()
    for hierarchy in /sys/fs/cgroup/systemd /sys/fs/cgroup/unified; do
        [ ! -d "$hierarchy" ] || hierarchies+=("$hierarchy")
    done
fi
clean_up() {
    rm -rf "$work" || true
    for hierarchy in "${hierarchies[@]}"; do
        if [ -d "$hierarchy/$cgroup" ]; then
            find "$hierarchy/$cgroup" -depth -type d -exec rmdir {} + 2>/dev/null || true
        fi
    done
}
trap clean_up EXIT

# The units, their generator, the sysusers entry and the polkit rule exactly as the package
# ships them.
DESTDIR="$work/root" cmake --install "$build" --prefix /usr >/dev/null
# They go into the container's /etc, one folder bound whole: every mount
# of the container's adds to each sandboxed start's set-up, and a board has
# none of the test's.
etc="$work/etc"
units="$etc/systemd/system"
mkdir -p "$units" "$work/out" "$etc/sysusers.d" "$etc/polkit-1/rules.d"
cp -r "$work/root/usr/lib/systemd/system/"* "$units/"
cp "$work/root/usr/lib/sysusers.d/glow.conf" "$etc/sysusers.d/"
cp "$work/root/usr/share/polkit-1/rules.d/"*.rules "$etc/polkit-1/rules.d/"
# The container's first boot applies the presets.
cp -r "$work/root/usr/lib/systemd/system-preset" "$work/root/usr/lib/systemd/system-generators" \
    "$etc/systemd/"
# Users who ask systemd to switch patterns: one in gpio, one not.
printf '%s\n' 'u switcher - "in gpio"' 'm switcher gpio' 'u stranger - "not in gpio"' \
    >"$etc/sysusers.d/glow-test-users.conf"

# The board's GPIO device is a file that the scenarios make, take away and
# give to gpio; the programs open it through the virtual board. Every unit
# that runs a program runs it from the build folder instead.
device=/run/glow-gpio/gpiomem
for unit in $(grep -l '^ExecStart=/usr/' "$units"/*.service); do
    mkdir -p "$unit.d"
    {
        echo "[Service]"
        for setting in ExecStart ExecStopPost; do
            { grep "^$setting=" "$unit" || true; } | sed -e 's#^\([A-Za-z]*=\)#\1\n\1#' \
                -e 's#/usr/bin/#/opt/glow/programs/#g' \
                -e 's#/usr/libexec/glow/glow-degraded#/opt/glow/failure-watcher/glow-degraded#g' \
                -e 's#/usr/libexec/glow/#/opt/glow-src/packaging/systemd/#g'
        done
        echo "Environment=LD_LIBRARY_PATH=/opt/glow/virtual-board GLOW_BOARD_TRACE_DIR=/run/glow-traces"
        echo "Environment=GLOW_BOARD_GPIO_DEVICE=$device"
        # The LED's pin and polarity, as this build was made for.
        sed -n 's/^\(GLOW_BOARD_LED[A-Z_]*=.*\)/Environment=\1/p' "$build/virtual-board.env"
        echo "ReadWritePaths=/run/glow-traces"
    } >"$unit.d/paths.conf"
done
mkdir -p "$units/glow-gpio.service.d"
printf '[Service]\nEnvironment=GLOW_GPIO_DEVICES=%s\n' "$device" \
    >"$units/glow-gpio.service.d/paths.conf"

# The container boots with a booting pattern and a ready one enabled; its
# GPIO device is given to gpio 3 s into the boot, as a late driver would,
# and a slow service holds multi-user.target back for 5 s, as a board's
# own services would: the first scenario reads what the LED did.
mkdir -p "$units/sysinit.target.wants" "$units/multi-user.target.wants"
ln -s /etc/systemd/system/glow-booting@glowbreathe.service "$units/sysinit.target.wants/"
ln -s /etc/systemd/system/glowfull.service "$units/glow-boot.service"
cat >"$units/glow-test-late-device.service" <<EOF
[Unit]
DefaultDependencies=no
After=systemd-sysusers.service systemd-tmpfiles-setup.service
[Service]
ExecStart=/bin/sh -c 'mkdir -p /run/glow-traces /run/glow-gpio && chmod 1777 /run/glow-traces && \\
    : >$device && chmod 0600 $device && sleep 3 && chgrp gpio $device && chmod 0660 $device'
EOF
printf '[Unit]\nBefore=multi-user.target\n[Service]\nType=oneshot\nExecStart=/bin/sleep 5\n' \
    >"$units/glow-test-slow-service.service"
ln -s ../glow-test-slow-service.service "$units/multi-user.target.wants/"
ln -s ../glow-test-late-device.service "$units/sysinit.target.wants/"

# Once they have ended, the container shuts down with a pattern shown and a
# shutdown pattern enabled; this unit's stop, among the other services',
# runs the scenario that judges what the LED did.
cat >"$units/glow-test-stopping.service" <<EOF
[Service]
Type=oneshot
RemainAfterExit=yes
ExecStart=/bin/true
ExecStop=/usr/bin/python3 /opt/glow-src/tests/services/scenarios.py /opt/glow-out --while-shutting-down
EOF
ln -s ../glow-test-stopping.service "$units/multi-user.target.wants/"

# The scenarios run as a unit of their own; the container's systemd exits
# with their status when they end.
cat >"$units/glow-scenarios.service" <<EOF
[Unit]
Description=glow service scenarios
# Once boot is complete, as the users of the units see them; the bus, for
# users other than root to ask systemd and polkit.
Wants=dbus.socket
After=multi-user.target dbus.socket
SuccessAction=exit
FailureAction=exit

[Service]
# Not a start-up job: while one runs, systemd counts the system as booting.
Type=exec
Environment=GLOW_IDLE_S=${GLOW_IDLE_S:-60}
ExecStart=/usr/bin/python3 /opt/glow-src/tests/services/scenarios.py /opt/glow-out $*
StandardOutput=journal+console
StandardError=journal+console
EOF
ln -s ../glow-scenarios.service "$units/multi-user.target.wants/"

status=0
# SIGTERM at the limit (timeout's default) lets nspawn stop the container.
# The unified cgroup hierarchy, as a board's systemd has it.
(
    for hierarchy in "${hierarchies[@]}"; do
        mkdir -p "$hierarchy/$cgroup"
        echo "$BASHPID" >"$hierarchy/$cgroup/cgroup.procs"
    done
    exec timeout 600 env SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 \
        systemd-nspawn -D "$root" --volatile=yes --register=no --keep-unit --quiet \
        --bind-ro="$build":/opt/glow --bind-ro="$source":/opt/glow-src \
        --bind="$work/out":/opt/glow-out --bind="$etc":/etc \
        --boot -- systemd.unit=multi-user.target systemd.firstboot=off
) >"$work/console" 2>&1 || status=$?

if [ -s "$work/out/report" ]; then
    cat "$work/out/report"
    cat "$work/out/shutdown/report" 2>/dev/null ||
        echo "services: the shutdown scenario left no report"
    tail -n 1 "$work/out/shutdown/report" 2>/dev/null | grep -q " 0 failed$" || status=1
else
    echo "services: the scenarios left no report; the container's console:"
    tail -n 60 "$work/console"
fi
[ "$status" -eq 0 ] || echo "services: the container ended with status $status"
exit "$status"
