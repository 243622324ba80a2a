#!/usr/bin/env bash
# Builds the Debian system that run-system.sh boots, from Debian's packages:
# systemd, D-Bus and Python, and the unit that runs harness.py once boot is
# complete. A container has no polkit: its packages wait in
# /var/cache/test-debs, for the glow package to bring them as it would to a
# minimal system.
#   build-system.sh CACHE container RELEASE ARCH   a root file system, booted
#                                                  with systemd-nspawn
#   build-system.sh CACHE guest RELEASE ARCH       the same with a kernel, a
#                                                  small initramfs and the 9p
#                                                  mounts, as a raw ext4 image
#                                                  for qemu-system-arm/-aarch64
# Kept in CACHE/RELEASE-ARCH-KIND/STAMP, the stamp made of the recipe, so
# that a second run, from any clone, builds nothing. A guest's kernel is
# unpacked, and its initramfs made, here rather than by the kernel's
# package under emulation, which took half the build. Needs root (the system
# keeps its owners); a foreign ARCH needs foreign-binary support.
# Prints the system's folder last: ROOT/root or ROOT/image.raw. A run that
# uses it holds a shared lock on FOLDER.lock meanwhile, and checks
# FOLDER/.complete once it holds it: a system of another recipe is removed
# only under its own lock, held alone.
set -euo pipefail
kind=$2 release=$3 arch=$4
case "$kind-$arch" in
    container-*) kernel= ;;
    guest-armhf) kernel=linux-image-armmp-lpae ;;
    guest-arm64) kernel=linux-image-arm64 ;;
    *) echo "system: no $kind for architecture '$arch'" >&2; exit 2 ;;
esac
folder=$(realpath -m "$1/$release-$arch-$kind")
started=$(date +%s)

if [ "$arch" != "$(dpkg --print-architecture)" ]; then
    # Its programs run here under qemu-user while it is built; an older
    # registration without the F flag (interpreter opened at registration)
    # breaks chroots.
    [ -e /proc/sys/fs/binfmt_misc/status ] ||
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null ||
        [ -e /proc/sys/fs/binfmt_misc/status ]  # another build mounted it meanwhile
    qemu_user=$([ "$arch" = arm64 ] && echo qemu-aarch64 || echo qemu-arm)
    update-binfmts --import "$qemu_user" >/dev/null 2>&1 || true
    update-binfmts --enable "$qemu_user" >/dev/null 2>&1 || true
    arch-test "$arch" >/dev/null || {
        echo "system: this machine cannot run $arch programs (arch-test $arch)" >&2
        exit 1
    }
fi

packages="systemd,systemd-sysv,dbus,python3,util-linux,procps"
# The test runs once boot is complete, as the units' users see it, and ends
# the system with its status: a container's systemd exits with it, a
# guest's powers off. Nothing else to wait for or to log in at.
essential_hook=
customize_hook='set -e
cat >"$1/etc/systemd/system/test-system.service" <<UNIT
[Unit]
Description=the glow package on this system
Wants=dbus.socket
After=multi-user.target dbus.socket
RequiresMountsFor=/opt/glow-src /opt/glow-out
SuccessAction=exit
FailureAction=exit

[Service]
# Not a start-up job: while one runs, systemd counts the system as booting.
Type=exec
ExecStart=/usr/bin/python3 /opt/glow-src/tests/systems/harness.py /opt/glow-out
StandardOutput=journal+console
StandardError=journal+console

[Install]
WantedBy=multi-user.target
UNIT
chroot "$1" systemctl enable test-system.service
chroot "$1" systemctl mask getty@tty1.service console-getty.service serial-getty@ttyAMA0.service \
    systemd-firstboot.service apt-daily.timer apt-daily-upgrade.timer dpkg-db-backup.timer \
    e2scrub_all.timer fstrim.timer systemd-tmpfiles-clean.timer
mkdir -p "$1/opt/glow-src" "$1/opt/glow-out"'
if [ -z "$kernel" ]; then
    customize_hook+='
mkdir -p "$1/var/cache/test-debs/partial"
chroot "$1" apt-get install --download-only -y -q -o Dir::Cache::Archives=/var/cache/test-debs \
    -o APT::Install-Recommends=true polkitd >/dev/null'
else
    # polkit installed already: an install that brings it takes a minute
    # more under emulation, and the containers show it brought.
    packages+=",polkitd,udev,kmod"
    # Without its hardware database udev's install compiles none: half a
    # minute of emulation for names no test reads.
    essential_hook='echo "path-exclude=/usr/lib/udev/hwdb.d/*" >"$1/etc/dpkg/dpkg.cfg.d/glow-system-test"'
    # The kernel's package and a static busybox for the initramfs, fetched
    # by this machine's apt for the guest's architecture: boot_files
    # installs them.
    customize_hook+='
cd "$1/.." && APT_CONFIG=$MMDEBSTRAP_APT_CONFIG apt-get download -q=2 busybox-static \
    $(APT_CONFIG=$MMDEBSTRAP_APT_CONFIG apt-cache depends '"$kernel"' |
        sed -n "s/^ *Depends: \(linux-image-[0-9].*\)/\1/p")'
    # What a container gets from nspawn, a guest from its image: the source
    # and the run's folder shared by QEMU.
    customize_hook+='
echo glow-vm >"$1/etc/hostname"
echo 0123456789abcdef0123456789abcdef >"$1/etc/machine-id"
cat >"$1/etc/fstab" <<FSTAB
/dev/vda / ext4 rw,noatime 0 1
glowsrc /opt/glow-src 9p trans=virtio,version=9p2000.L,msize=262144,ro 0 0
glowout /opt/glow-out 9p trans=virtio,version=9p2000.L,msize=262144 0 0
FSTAB
# Nothing to look up: what the package needs is installed, and apt would
# spend half a minute of emulation reading the lists.
rm -rf "$1"/var/lib/apt/lists/*'
fi
# A container's apt keeps its lists: polkit is installed offline.
skip=cleanup/apt/lists

# boot_files WORK: the kernel unpacked into WORK/root, its modules indexed,
# and WORK/vmlinuz and WORK/initrd.img beside it. The initramfs loads what
# finds and mounts the root (virtio over memory-mapped I/O, its block device,
# ext4), then hands over to systemd; anything failing there ends the guest.
boot_files() {
    local work=$1 root=$1/root version module number=10
    dpkg-deb --fsys-tarfile "$work"/linux-image-*.deb | tar -x --keep-directory-symlink -C "$root"
    version=$(basename "$root"/boot/vmlinuz-*) version=${version#vmlinuz-}
    depmod -b "$root" "$version"
    cp "$root/boot/vmlinuz-$version" "$work/vmlinuz"
    mkdir -p "$work/initrd/"{bin,dev,modules,proc,root} "$work/busybox"
    dpkg-deb -x "$work"/busybox-static_*.deb "$work/busybox"
    cp "$(find "$work/busybox" -type f -path "*/bin/busybox")" "$work/initrd/bin/"
    modprobe -a -d "$root" -S "$version" --show-depends virtio_mmio virtio_blk ext4 |
        while read -r how module _; do
            [ "$how" = insmod ] || continue
            # Debian's kernels keep their modules xz-compressed; busybox loads them plain.
            xz -dc "$module" >"$work/initrd/modules/$number-$(basename "${module%.ko.xz}").ko"
            number=$((number + 1))
        done
    cat >"$work/initrd/init" <<'INIT'
#!/bin/busybox sh
set -e
busybox mount -t devtmpfs devtmpfs /dev
# A module for another processor's extensions fails here as it would on
# modprobe: the root's mount tells whether what it needs is in.
for module in /modules/*.ko; do busybox insmod "$module" || true; done
tries=100
while [ ! -b /dev/vda ] && [ $((tries -= 1)) -gt 0 ]; do busybox sleep 0.1; done
busybox mount -t ext4 -o rw,noatime /dev/vda /root
busybox mount --move /dev /root/dev
exec busybox switch_root /root /sbin/init "$@"
INIT
    chmod 755 "$work/initrd/init"
    mknod "$work/initrd/dev/console" c 5 1
    (cd "$work/initrd" && find . | cpio -o -H newc --quiet) | gzip -1 >"$work/initrd.img"
    rm -rf "$work/initrd" "$work/busybox" "$work"/*.deb
}
stamp=$(echo "$release $arch $packages $skip $essential_hook $customize_hook ${kernel:+$(declare -f boot_files)}" |
    sha256sum | cut -c1-16)
system="$folder/$stamp"

mkdir -p "$folder"
exec 8>"$folder.build.lock"
flock -x 8
if [ ! -f "$system/.complete" ]; then
    # The mirror this machine's own packages come from.
    mirror=$(grep -hs -E '^URIs:' /etc/apt/sources.list.d/*.sources | awk '{print $2}' |
        grep -v -- '-security' | head -n 1)
    [ -n "$mirror" ] || mirror=$(grep -hs -E '^deb ' /etc/apt/sources.list |
        grep -v -- '-security' | awk '{print $2}' | head -n 1)
    [ -n "$mirror" ] || { echo "system: no Debian mirror in this machine's apt sources" >&2; exit 1; }
    work="$system.partial"
    # What an interrupted build left, its chroot's file systems first.
    { findmnt -rn -o TARGET | grep -F "$work/" || true; } | sort -r | xargs -r umount -l
    rm -rf "$work"
    mkdir -p "$work"
    mmdebstrap --arch="$arch" --variant=minbase --quiet --include="$packages" \
        ${essential_hook:+--essential-hook="$essential_hook"} --customize-hook="$customize_hook" --skip="$skip" \
        "$release" "$work/root" "$mirror" >"$work/mmdebstrap.log" 2>&1 || {
        tail -n 40 "$work/mmdebstrap.log" >&2
        exit 1
    }
    if [ -n "$kernel" ]; then
        boot_files "$work"
        mke2fs -q -t ext4 -L glow-root -d "$work/root" "$work/image.raw" 2G >&2  # stdout: the folder alone
        rm -rf "$work/root"
    fi
    touch "$work/.complete"
    mv "$work" "$system"
    echo "system: $release $arch $kind built in $(($(date +%s) - started)) s" >&2
fi
touch "$system.lock"
# Systems of other recipes go, each only while no run holds it: what an
# interrupted build left mounted first, then the mark of a whole system.
prune='{ findmnt -rn -o TARGET | grep -F "$1/" || true; } | sort -r | xargs -r umount -l
rm -f "$1/.complete" && rm -rf --one-file-system "$1"'
for old in "$folder"/*; do
    case "$old" in "$system" | "$system".* | *.lock) continue ;; esac
    flock -n -x "$old.lock" sh -c "$prune" prune "$old" || true
done
echo "$system"
