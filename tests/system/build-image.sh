#!/usr/bin/env bash
# Builds a Debian system that the system test boots under qemu-system-arm
# or qemu-system-aarch64: a root file system from Debian's packages, a
# kernel and a small initramfs, and a raw ext4 image of it. Kept in
# CACHE/SUITE-ARCH/STAMP, the stamp made of the recipe, so that a second
# run, from any clone, finds it there and builds nothing.
#   build-image.sh CACHE SUITE ARCH      (bookworm or trixie; armhf or arm64)
# Needs root (the image keeps its owners) and foreign-binary support.
# Prints the image's folder last. A run that boots the image holds a shared
# lock on FOLDER.lock meanwhile, and checks FOLDER/image.raw once it holds
# it: an image of another recipe is removed only under its own lock, held
# alone.
set -euo pipefail
suite=$2 arch=$3
case "$arch" in
    armhf) kernel=linux-image-armmp-lpae qemu_user=qemu-arm ;;
    arm64) kernel=linux-image-arm64 qemu_user=qemu-aarch64 ;;
    *) echo "system image: unknown architecture '$arch'" >&2; exit 2 ;;
esac
image_dir=$(realpath -m "$1/$suite-$arch")
started=$(date +%s)

# The guest's programs run here under qemu-user; an older registration
# without the F flag (interpreter opened at registration) breaks chroots.
[ -e /proc/sys/fs/binfmt_misc/status ] ||
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null ||
    [ -e /proc/sys/fs/binfmt_misc/status ]  # another build mounted it meanwhile
update-binfmts --import "$qemu_user" >/dev/null 2>&1 || true
update-binfmts --enable "$qemu_user" >/dev/null 2>&1 || true
arch-test "$arch" >/dev/null || {
    echo "system image: this machine cannot run $arch programs (arch-test $arch)" >&2
    exit 1
}

# The mirror this machine's own packages come from.
mirror=$(grep -hs -E '^URIs:' /etc/apt/sources.list.d/*.sources | awk '{print $2}' |
    grep -v -- '-security' | head -n 1)
[ -n "$mirror" ] || mirror=$(grep -hs -E '^deb ' /etc/apt/sources.list |
    grep -v -- '-security' | awk '{print $2}' | head -n 1)
[ -n "$mirror" ] || { echo "system image: no Debian mirror in this machine's apt sources" >&2; exit 1; }


# The initramfs holds just what finds and mounts the root: virtio over
# memory-mapped I/O, its block device and ext4.
essential_hook='mkdir -p "$1/etc/initramfs-tools/conf.d" "$1/etc/initramfs-tools/hooks"
echo MODULES=list >"$1/etc/initramfs-tools/conf.d/glow-system-test"
cat >"$1/etc/initramfs-tools/hooks/glow-system-test" <<HOOK
#!/bin/sh
[ "\$1" = prereqs ] && exit 0
. /usr/share/initramfs-tools/hook-functions
for module in virtio_mmio virtio_blk ext4; do manual_add_modules \$module; done
HOOK
chmod 755 "$1/etc/initramfs-tools/hooks/glow-system-test"'

customize_hook='set -e
echo glow-vm >"$1/etc/hostname"
echo 0123456789abcdef0123456789abcdef >"$1/etc/machine-id"
cat >"$1/etc/fstab" <<FSTAB
/dev/vda / ext4 rw,noatime 0 1
glowsrc /opt/glow-src 9p trans=virtio,version=9p2000.L,msize=262144,ro 0 0
glowwork /opt/glow 9p trans=virtio,version=9p2000.L,msize=262144 0 0
FSTAB
mkdir -p "$1/opt/glow-src" "$1/opt/glow"
# The test runs once at boot and powers the machine off with its result.
cat >"$1/etc/systemd/system/system-test.service" <<UNIT
[Unit]
Description=the system test of the glow package
After=multi-user.target
RequiresMountsFor=/opt/glow /opt/glow-src
SuccessAction=poweroff-force
FailureAction=poweroff-force

[Service]
Type=oneshot
ExecStart=/usr/bin/python3 /opt/glow-src/tests/system/guest.py /opt/glow
StandardOutput=journal+console
StandardError=journal+console

[Install]
WantedBy=multi-user.target
UNIT
chroot "$1" systemctl enable system-test.service
# Nothing else to wait for or to log in at.
chroot "$1" systemctl mask serial-getty@ttyAMA0.service getty@tty1.service \
    systemd-firstboot.service apt-daily.timer apt-daily-upgrade.timer dpkg-db-backup.timer \
    e2scrub_all.timer fstrim.timer systemd-tmpfiles-clean.timer
rm -rf "$1"/var/cache/apt/archives/*.deb "$1"/var/lib/apt/lists/*'

packages="systemd,systemd-sysv,udev,dbus,polkitd,python3,kmod,initramfs-tools,$kernel"
stamp=$(echo "$suite $arch $packages $essential_hook $customize_hook" | sha256sum | cut -c1-16)
mkdir -p "$image_dir"
exec 8>"$image_dir.build.lock"
flock -x 8
if [ ! -f "$image_dir/$stamp/image.raw" ]; then
work="$image_dir/$stamp.partial"
root="$work/root"
# What an interrupted build left, its chroot's file systems first.
{ findmnt -rn -o TARGET | grep -F "$work/" || true; } | sort -r | xargs -r umount -l
rm -rf "$work"
mkdir -p "$work"
mmdebstrap --arch="$arch" --variant=minbase --quiet --include="$packages" \
    --essential-hook="$essential_hook" --customize-hook="$customize_hook" \
    "$suite" "$root" "$mirror" >"$work/mmdebstrap.log" 2>&1 || {
    tail -n 40 "$work/mmdebstrap.log" >&2
    exit 1
}
cp "$root"/boot/vmlinuz-* "$work/vmlinuz"
cp "$root"/boot/initrd.img-* "$work/initrd.img"
mke2fs -q -t ext4 -L glow-root -d "$root" "$work/image.raw" 2G >&2  # stdout: the folder alone
rm -rf "$root"
mv "$work" "$image_dir/$stamp"
echo "system image: built in $(($(date +%s) - started)) s" >&2
fi
touch "$image_dir/$stamp.lock"
# Images of other recipes go, each only while no run holds it: what an
# interrupted build left mounted first, then the mark of a whole image.
prune='{ findmnt -rn -o TARGET | grep -F "$1/" || true; } | sort -r | xargs -r umount -l
rm -f "$1/image.raw" && rm -rf --one-file-system "$1"'
for old in "$image_dir"/*; do
    case "$old" in "$image_dir/$stamp" | "$image_dir/$stamp".* | *.lock) continue ;; esac
    flock -n -x "$old.lock" sh -c "$prune" prune "$old" || true
done
echo "$image_dir/$stamp"
