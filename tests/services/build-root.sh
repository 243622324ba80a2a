#!/usr/bin/env bash
# Builds the root file system of a Debian release that the container
# scenarios boot under systemd-nspawn: this machine's architecture, from
# Debian's packages, with systemd, D-Bus, polkit and Python. Kept in
# CACHE/SUITE/STAMP, the stamp made of this recipe and its arguments, so
# that a second run, from any clone, builds nothing; a lock keeps two runs
# from building one at the same time. Prints the root's folder last.
#   build-root.sh CACHE SUITE        (bookworm or trixie)
set -euo pipefail
suite=$2
case "$suite" in
    bookworm | trixie) ;;
    *) echo "container root: unknown release '$suite'" >&2; exit 2 ;;
esac
mkdir -p "$1"
cache=$(realpath "$1")
stamp=$({ cat "$0"; echo "$suite"; } | sha256sum | cut -c1-16)
root="$cache/$suite/$stamp"
exec 9>"$cache/$suite.lock"
flock 9
if [ -f "$root/.complete" ]; then
    echo "$root"
    exit 0
fi
started=$(date +%s)

# The mirror this machine's own packages come from.
mirror=$(grep -hs -E '^URIs:' /etc/apt/sources.list.d/*.sources | awk '{print $2}' |
    grep -v -- '-security' | head -n 1)
[ -n "$mirror" ] || mirror=$(grep -hs -E '^deb ' /etc/apt/sources.list |
    grep -v -- '-security' | awk '{print $2}' | head -n 1)
[ -n "$mirror" ] || { echo "container root: no Debian mirror in this machine's apt sources" >&2; exit 1; }

# Roots of earlier recipes go; what an interrupted build left goes too.
rm -rf "$cache/$suite"
mkdir -p "$cache/$suite"
work="$root.partial"
# Nothing to wait for or to log in at; the scenarios' /etc replaces this one.
customize_hook='set -e
chroot "$1" systemctl mask getty@tty1.service console-getty.service systemd-firstboot.service \
    apt-daily.timer apt-daily-upgrade.timer dpkg-db-backup.timer e2scrub_all.timer fstrim.timer
rm -rf "$1"/var/cache/apt/archives/*.deb "$1"/var/lib/apt/lists/*'
mmdebstrap --variant=minbase --quiet \
    --include="systemd,systemd-sysv,dbus,polkitd,python3,util-linux,procps" \
    --customize-hook="$customize_hook" "$suite" "$work" "$mirror" >"$cache/$suite/mmdebstrap.log" 2>&1 || {
    tail -n 40 "$cache/$suite/mmdebstrap.log" >&2
    exit 1
}
touch "$work/.complete"
mv "$work" "$root"
echo "container root: $suite built in $(($(date +%s) - started)) s" >&2
echo "$root"
