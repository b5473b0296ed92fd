#!/bin/sh
# Make the Debian 12 image the VM test boots.  Two levels of cache: the
# debootstrap tree as a tarball, keyed on the package list (the slow part,
# from the archive), and the bootable image made from it with the test's
# own guest files, keyed on those too: a raw ext4 file system made with
# mkfs.ext4 -d (no loop device, no mount), and the kernel and initrd beside
# it for a direct kernel boot.
# Usage: image.sh CACHE-FOLDER MIRROR; prints the image's folder.
set -eu
cache=$1
mirror=$2
here=$(cd "$(dirname "$0")" && pwd)
packages=$(grep -v '^#' "$here/packages" | tr '\n' ' ' | tr -s ' ')
base_key=$(printf '%s\n' "$packages" | sha256sum | cut -c1-16)
base=$cache/bookworm-$base_key.tar
key=$( (echo "$base_key"; cat "$here/image.sh" "$here/runner" "$here/guest.service") | sha256sum | cut -c1-16)
out=$cache/image-$key
if [ -f "$out/done" ]; then
	echo "$out"
	exit 0
fi
mkdir -p "$cache"
chmod 0755 "$cache"
# One maker at a time.
exec 9>"$cache/lock"
flock 9
if [ -f "$out/done" ]; then
	echo "$out"
	exit 0
fi
work=$(mktemp -d "$cache/make.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM HUP
tree=$work/tree
if [ ! -f "$base" ]; then
	echo "vm: debootstrap bookworm from $mirror" >&2
	include=$(echo $packages | tr ' ' ,)
	debootstrap --variant=minbase --include="$include" bookworm "$tree" "$mirror" \
		>"$work/log" 2>&1 || {
		tail -20 "$work/log" >&2
		exit 1
	}
	# No package lists and no downloads: the build's packages are
	# installed from files, their dependencies being in the image.
	rm -rf "$tree/var/lib/apt/lists/"* "$tree/var/cache/apt/"*.bin \
		"$tree/var/cache/apt/archives/"*.deb
	tar -C "$tree" --numeric-owner -cf "$work/base.tar" .
	mv "$work/base.tar" "$base"
	# Older bases are of older package lists.
	find "$cache" -maxdepth 1 -name 'bookworm-*.tar' ! -name "bookworm-$base_key.tar" -delete
else
	mkdir "$tree"
	tar -C "$tree" --numeric-owner -xf "$base"
fi
echo brantel-vm >"$tree/etc/hostname"
# The second disk holds the run's packages and the steps' helpers.
printf '/dev/vda / ext4 rw,errors=remount-ro 0 1\n/dev/vdb /mnt/share ext4 ro,nofail 0 0\n' \
	>"$tree/etc/fstab"
mkdir -p "$tree/mnt/share"
# The machine id is made at first boot, so that each run's machine is new.
: >"$tree/etc/machine-id"
rm -f "$tree/var/lib/dbus/machine-id"
install -m 0755 "$here/runner" "$tree/usr/local/sbin/brantel-vm-runner"
install -m 0644 "$here/guest.service" "$tree/etc/systemd/system/brantel-vm-runner.service"
ln -sf /etc/systemd/system/brantel-vm-runner.service \
	"$tree/etc/systemd/system/multi-user.target.wants/brantel-vm-runner.service"
cp -L "$tree/vmlinuz" "$work/vmlinuz"
cp -L "$tree/initrd.img" "$work/initrd.img"
truncate -s 3G "$work/root.img"
mkfs.ext4 -q -F -L root -d "$tree" "$work/root.img"
rm -rf "$tree"
find "$cache" -maxdepth 1 -name 'image-*' ! -name "image-$key" -exec rm -rf {} +
touch "$work/done"
mv "$work" "$out"
trap - EXIT INT TERM HUP
echo "$out"
