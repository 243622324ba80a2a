#!/usr/bin/env bash
# Boots a real systemd as PID 1 in a throw-away container of this machine's
# own OS and runs scenarios.py there against the systemd units as the build
# installs them. Drop-ins change only paths: the programs and the virtual
# board come from the build folder, and each process writes its own trace.
#   run-in-container.sh BUILD_DIR SOURCE_DIR
# Exits 77 (skipped) where containers cannot be started: not root.
set -euo pipefail
build=$(realpath "$1")
source=$(realpath "$2")

if [ "$(id -u)" -ne 0 ]; then
    echo "services: booting a container needs root; skipped"
    exit 77
fi
command -v systemd-nspawn >/dev/null || {
    echo "services: no systemd-nspawn (scripts/install-deps test installs systemd-container)" >&2
    exit 1
}

work=$(mktemp -d /tmp/glow-services-XXXXXX)
# nspawn with --keep-unit leaves empty cgroup folders behind; remove them,
# deepest first, as well as the work folder.
clean_up() {
    for hierarchy in systemd unified; do
        for folder in payload supervisor; do
            [ -d "/sys/fs/cgroup/$hierarchy/$folder" ] &&
                find "/sys/fs/cgroup/$hierarchy/$folder" -depth -type d -exec rmdir {} + 2>/dev/null
        done
    done
    rm -rf "$work"
}
trap clean_up EXIT

# The units and the sysusers entry exactly as the package ships them.
DESTDIR="$work/root" cmake --install "$build" --prefix /usr >/dev/null
units="$work/units"
mkdir -p "$units" "$work/out" "$work/sysusers"
cp "$work/root/usr/lib/systemd/system/"*.service "$units/"
cp "$work/root/usr/lib/sysusers.d/glow.conf" "$work/sysusers/"

for unit in "$units"/glow*.service; do
    program=$(basename "$unit" .service)
    mkdir -p "$unit.d"
    {
        echo "[Service]"
        echo "ExecStart="
        echo "ExecStart=/opt/glow/programs/$program"
        if grep -q '^ExecStopPost=' "$unit"; then
            echo "ExecStopPost="
            echo "ExecStopPost=-/opt/glow/programs/glowoff"
        fi
        echo "Environment=LD_LIBRARY_PATH=/opt/glow/virtual-board GLOW_BOARD_TRACE_DIR=/run/glow-traces"
        echo "ReadWritePaths=/run/glow-traces"
    } >"$unit.d/paths.conf"
done

# The scenarios run as a unit of their own; the container's systemd exits
# with their status when they end.
cat >"$units/glow-scenarios.service" <<EOF
[Unit]
Description=glow service scenarios
After=basic.target systemd-sysusers.service
SuccessAction=exit
FailureAction=exit

[Service]
Type=oneshot
ExecStart=/usr/bin/python3 /opt/glow-src/tests/services/scenarios.py /opt/glow-out
StandardOutput=journal+console
StandardError=journal+console
EOF

status=0
# SIGTERM at the limit (timeout's default) lets nspawn stop the container.
timeout 600 systemd-nspawn -D / --volatile=yes --register=no --keep-unit --quiet \
    --bind-ro="$build":/opt/glow --bind-ro="$source":/opt/glow-src \
    --bind="$work/out":/opt/glow-out --bind="$units":/etc/systemd/system \
    --bind-ro="$work/sysusers":/etc/sysusers.d \
    --boot -- systemd.unit=glow-scenarios.service systemd.firstboot=off \
    >"$work/console" 2>&1 || status=$?

if [ -s "$work/out/report" ]; then
    cat "$work/out/report"
else
    echo "services: the scenarios left no report; the container's console:"
    tail -n 60 "$work/console"
fi
[ "$status" -eq 0 ] || echo "services: the container ended with status $status"
exit "$status"
