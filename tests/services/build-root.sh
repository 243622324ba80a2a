#!/usr/bin/env bash
# Builds the root file system of a Debian release that the container
# scenarios boot under systemd-nspawn: this machine's architecture, from
# Debian's packages, with systemd, D-Bus and Python. polkit is not in it:
# its packages wait in /var/cache/test-debs, for the glow package to bring
# them as it would to a minimal system. Kept in CACHE/SUITE-STAMP, the stamp made of the
# recipe, so that a second run, from any clone, builds nothing.
#   build-root.sh CACHE SUITE        (bookworm or trixie)
# Runs with file descriptor 9 open on CACHE/SUITE.lock and leaves a shared
# lock there, which the caller holds while it uses the root: a root is
# removed only when no run holds it. Prints the root's folder last.
set -euo pipefail
suite=$2
case "$suite" in
    bookworm | trixie) ;;
    *) echo "container root: unknown release '$suite'" >&2; exit 2 ;;
esac
cache=$(realpath "$1")
packages="systemd,systemd-sysv,dbus,python3,util-linux,procps"
# Nothing to wait for or to log in at.
customize_hook='set -e
chroot "$1" systemctl mask getty@tty1.service console-getty.service systemd-firstboot.service \
    apt-daily.timer apt-daily-upgrade.timer dpkg-db-backup.timer e2scrub_all.timer fstrim.timer
mkdir -p "$1/var/cache/test-debs/partial"
chroot "$1" apt-get install --download-only -y -q -o Dir::Cache::Archives=/var/cache/test-debs \
    -o APT::Install-Recommends=true \
    polkitd >/dev/null'
# apt keeps its lists: the scenarios install offline.
skip=cleanup/apt/lists
stamp=$(echo "$suite $packages $skip $customize_hook" | sha256sum | cut -c1-16)
root="$cache/$suite-$stamp"

flock -s 9
exec 8>"$cache/$suite.build.lock"
flock -x 8
if [ ! -f "$root/.complete" ]; then
    started=$(date +%s)
    # The mirror this machine's own packages come from.
    mirror=$(grep -hs -E '^URIs:' /etc/apt/sources.list.d/*.sources | awk '{print $2}' |
        grep -v -- '-security' | head -n 1)
    [ -n "$mirror" ] || mirror=$(grep -hs -E '^deb ' /etc/apt/sources.list |
        grep -v -- '-security' | awk '{print $2}' | head -n 1)
    [ -n "$mirror" ] || { echo "container root: no Debian mirror in this machine's apt sources" >&2; exit 1; }
    rm -rf "$root.partial"
    mmdebstrap --variant=minbase --quiet --include="$packages" --customize-hook="$customize_hook" \
        --skip="$skip" \
        "$suite" "$root.partial" "$mirror" >"$root.log" 2>&1 || {
        tail -n 40 "$root.log" >&2
        exit 1
    }
    touch "$root.partial/.complete"
    mv "$root.partial" "$root"
    echo "container root: $suite built in $(($(date +%s) - started)) s" >&2
fi
exec 8>&-
# Roots of other recipes go, where no other run holds one.
if flock -n -x 9; then
    for old in "$cache/$suite" "$cache/$suite"-*; do
        [ "$old" = "$root" ] || [ "$old" = "$root.log" ] || rm -rf "$old"
    done
    flock -s 9
fi
echo "$root"
