#!/usr/bin/env bash
# Boots a real systemd as PID 1 in a throw-away container of a Debian
# release, where this build's Debian package was installed with apt beside a
# wiringpi package holding the virtual board, and runs scenarios.py there
# against what the package installed. Drop-ins add only the virtual board's
# settings: its GPIO device, the LED's pin and polarity, and a trace of
# each process.
#   run-in-container.sh BUILD_DIR SOURCE_DIR RELEASE [SCENARIO...]   (default: all)
# RELEASE is bookworm or trixie, whose root file system build-root.sh makes
# once into GLOW_ROOT_CACHE (default /var/cache/glow/container-roots); each
# run writes to an overlay of its own over it.
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

cache=${GLOW_ROOT_CACHE:-/var/cache/glow/container-roots}
mkdir -p "$cache"
# Held while the container runs: no other run removes its root meanwhile.
# One removed before the lock was taken is built again.
while :; do
    lower=$("$source/tests/services/build-root.sh" "$cache" "$release" | tail -n 1)
    exec 9<"$lower.lock"
    flock -s 9
    [ ! -f "$lower/.complete" ] || break
    exec 9<&-
done
work=$(mktemp -d /tmp/glow-services-XXXXXX)
root="$work/root"
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
mkdir -p "$root" "$work/upper" "$work/overlay" "$work/out"
mount -t overlay overlay -o "lowerdir=$lower,upperdir=$work/upper,workdir=$work/overlay" "$root"

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
            --machine="$cgroup" --private-network --keep-unit --quiet --bind-ro="$work/debs":/opt/glow-debs "$@"
    )
}

# The package installed as on a minimal system that had no polkit, which it
# brings; a booting pattern and a ready one chosen as their owner chooses.
"$source/tests/support/make-debs.sh" "$build" "$work/debs" virtual
container -- /bin/sh -c '
    if dpkg-query -W -f="\${Status}" polkitd 2>/dev/null | grep -q " installed"; then
        echo "services: polkitd was installed before glow" >&2
        exit 1
    fi
    cp /var/cache/test-debs/*.deb /var/cache/apt/archives/
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
        /opt/glow-debs/wiringpi.deb /opt/glow-debs/glow.deb
    systemctl enable glow-booting@glowbreathe.service glowfull.service' >"$work/install.log" 2>&1 || {
    echo "services: installing the package failed:"
    tail -n 30 "$work/install.log"
    exit 1
}

units="$root/etc/systemd/system"
mkdir -p "$root/etc/sysusers.d" "$units/sysinit.target.wants" "$units/multi-user.target.wants" \
    "$root/usr/local/lib/systemd/system/glow-gpio.service.d"
# Users who ask systemd to switch patterns: one in gpio, one not.
printf '%s\n' 'u switcher - "in gpio"' 'm switcher gpio' 'u stranger - "not in gpio"' \
    >"$root/etc/sysusers.d/test-users.conf"

# The board's GPIO device is a file that the scenarios make, take away and
# give to gpio; the programs open it through the virtual board. These
# drop-ins are the test's, not the system's own: a purge leaves them.
device=/run/glow-gpio/gpiomem
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

# The container boots with the patterns chosen above; its GPIO device is
# given to gpio 3 s into the boot, as a late driver would, and a slow
# service holds multi-user.target back for 5 s, as a board's own services
# would: the first scenario reads what the LED did.
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

# Once they have ended, the container shuts down with a pattern shown and a
# shutdown pattern enabled; this unit's stop, among the other services',
# runs the scenario that judges what the LED did.
cat >"$units/test-stopping.service" <<EOF
[Service]
Type=oneshot
RemainAfterExit=yes
ExecStart=/bin/true
ExecStop=/usr/bin/python3 /opt/glow-src/tests/services/scenarios.py /opt/glow-out --while-shutting-down
EOF
ln -s ../test-stopping.service "$units/multi-user.target.wants/"

# The scenarios run as a unit of their own; the container's systemd exits
# with their status when they end.
cat >"$units/test-scenarios.service" <<EOF
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
ln -s ../test-scenarios.service "$units/multi-user.target.wants/"

status=0
container --bind-ro="$build":/opt/glow --bind-ro="$source":/opt/glow-src \
    --bind="$work/out":/opt/glow-out \
    --boot -- systemd.unit=multi-user.target systemd.firstboot=off >"$work/console" 2>&1 || status=$?

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
