#!/usr/bin/env bash
# Builds the root file system of a Debian release that the container
# scenarios boot under systemd-nspawn: this machine's architecture, from
# Debian's packages, with systemd, D-Bus and Python. polkit is not in it:
# its packages wait in /var/cache/test-debs, for the glow package to bring
# them as it would to a minimal system. Kept in CACHE/SUITE-STAMP, the
# stamp made of the recipe, so that a second run, from any clone, builds
# nothing.
#   build-root.sh CACHE SUITE        (bookworm or trixie)
# Prints the root's folder last. A run that uses the root holds a shared
# lock on ROOT.lock meanwhile, and checks ROOT/.complete once it holds it:
# a root of another recipe is removed only under its own lock, held alone.
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
touch "$root.lock"
# Roots of other recipes go, each only while no run holds it: what an
# interrupted build left mounted first, then the mark of a whole root.
prune='{ findmnt -rn -o TARGET | grep -F "$1/" || true; } | sort -r | xargs -r umount -l
rm -f "$1/.complete" && rm -rf --one-file-system "$1" "$1.log"'
for old in "$cache/$suite" "$cache/$suite"-*; do
    case "$old" in "$root" | "$root".* | *.lock | *.log) continue ;; esac
    [ ! -e "$old" ] || flock -n -x "$old.lock" sh -c "$prune" prune "$old" || true
done
echo "$root"
