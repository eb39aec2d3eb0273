#!/bin/sh
# The end-to-end table on each kind of file system a replacement meets,
# each a small scratch mount where the rows that fill it run too: ext4;
# ext3 (no fallocate); tmpfs; bindfs over tmpfs (FUSE, no O_TMPFILE).
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
trap 'for m in bindfs under tmpfs ext3 ext4; do umount -l "$top/$m" 2>/dev/null || true; done; rm -rf "$top"' EXIT

mnt() { # the mount's name, then the command that mounts it there
	n=$1
	shift
	mkdir "$top/$n" && "$@" "$top/$n" 2>/dev/null || skip "can't mount $n: $*"
	chmod 1777 "$top/$n"
}
for fs in ext4 ext3; do
	truncate -s 48M "$top/$fs.img"
	mkfs."$fs" -Fq "$top/$fs.img" || skip "no mkfs.$fs"
	mnt "$fs" mount -o loop "$top/$fs.img"
done
mnt tmpfs mount -t tmpfs -o size=48m tmpfs
mnt under mount -t tmpfs -o size=48m tmpfs
mnt bindfs bindfs "$top/under"

failed=
for fs in ext4 ext3 tmpfs bindfs; do
	LOADPREP_TESTDIR=$top/$fs "$e2e" --gtest_filter='table/*' --gtest_brief=1 ||
		failed="$failed $fs"
done
[ -z "$failed" ] || { echo "mounts: FAILED on$failed"; exit 1; }
echo "mounts: the table passed on ext4, ext3, tmpfs and bindfs"
