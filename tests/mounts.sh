#!/bin/sh
# The end-to-end table on each kind of file system a replacement meets,
# each a small scratch mount where the rows that fill it run too: ext4;
# ext3 (no fallocate); tmpfs; ramfs (no room counted, never full, so not
# filled); bindfs over tmpfs (FUSE, no O_TMPFILE);
# btrfs (copy-on-write), and again under a quota; xfs (projects); exFAT
# through FUSE (no owners or modes, names found whatever their case).
# Needs root: skipped (77) without it, and where a mount fails, but not in
# CI, where every mount must work.
# Usage: tests/mounts.sh path-to-loadprep_e2e
set -eu
e2e=$(realpath "$1")
skip() {
	echo "mounts: skipped: $*"
	[ -z "${CI:-}" ] || [ "$(id -u)" != 0 ] || exit 1
	exit 77
}
[ "$(id -u)" = 0 ] || skip "mounting needs root"
top=$(mktemp -d /tmp/loadprep-mounts-XXXXXX)
all="ext4 ext3 tmpfs ramfs bindfs btrfs quota xfs exfat"
trap 'for m in $all under; do umount -l "$top/$m" 2>/dev/null || true; done
	[ ! -e "$top/loop" ] || losetup -d "$(cat "$top/loop")"; rm -rf "$top"' EXIT

mnt() { # the mount's name, then the command that mounts it there
	n=$1
	shift
	mkdir "$top/$n" && "$@" "$top/$n" 2>/dev/null || skip "can't mount $n: $*"
	chmod 1777 "$top/$n" 2>/dev/null || true # exFAT has no modes
}
image() { # the mount's name, its size, then the command that makes it
	n=$1 size=$2
	shift 2
	truncate -s "$size" "$top/$n.img"
	"$@" "$top/$n.img" >/dev/null || skip "can't make $n: $*"
}
for fs in ext4 ext3; do
	image "$fs" 48M mkfs."$fs" -Fq
	mnt "$fs" mount -o loop "$top/$fs.img"
done
mnt tmpfs mount -t tmpfs -o size=48m tmpfs
mnt ramfs mount -t ramfs ramfs
mnt under mount -t tmpfs -o size=48m tmpfs
mnt bindfs bindfs "$top/under"
for fs in btrfs quota; do
	image "$fs" 128M mkfs.btrfs -q
	mnt "$fs" mount -o loop "$top/$fs.img"
done
btrfs quota enable "$top/quota" && btrfs qgroup limit 32M "$top/quota" ||
	skip "no btrfs quota"
image xfs 300M mkfs.xfs -q
mnt xfs mount -o loop "$top/xfs.img"
image exfat 48M mkfs.exfat
losetup -f --show "$top/exfat.img" >"$top/loop"
mnt exfat mount.exfat-fuse -o allow_other,fmask=0133,dmask=022 "$(cat "$top/loop")"

failed=
for fs in $all; do
	quota=
	[ "$fs" != quota ] || quota=1
	LOADPREP_TESTDIR=$top/$fs LOADPREP_QUOTA=$quota "$e2e" \
		--gtest_filter='table/*' --gtest_brief=1 || failed="$failed $fs"
done
[ -z "$failed" ] || { echo "mounts: FAILED on$failed"; exit 1; }
echo "mounts: the table passed on $all"
