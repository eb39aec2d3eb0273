#!/bin/sh
# One commit packs to the same bytes: the .deb and both Windows zips, each
# built from HEAD twice, in two folders and at two times, must be the same.
# Needs what the .deb and the Windows programs need (see doc/hacking.md).
# Usage: tests/reproducible.sh
set -eu
cd "$(dirname "$0")/.."
top=$(mktemp -d /tmp/loadprep-repro-XXXXXX)
trap 'rm -rf "$top"' EXIT

for n in 1 2; do
	mkdir "$top/$n"
	git archive HEAD | tar -x -C "$top/$n"
	for toolchain in "" i686-w64-mingw32 x86_64-w64-mingw32; do
		b=$top/$n/build-${toolchain:-linux}
		cmake -S "$top/$n" -B "$b" -DBUILD_TESTING=OFF \
			${toolchain:+-DCMAKE_TOOLCHAIN_FILE=cmake/$toolchain.cmake} >/dev/null
		cmake --build "$b" -j2 >/dev/null
		(cd "$b" && cpack >/dev/null 2>&1)
	done
	sleep 1 # another second on every clock
done
for p in $(cd "$top/1" && ls build-*/*.deb build-*/*.zip); do
	cmp "$top/1/$p" "$top/2/$p" || { echo "reproducible: FAILED: $p"; exit 1; }
	echo "reproducible: $p is the same bytes from two builds"
done
