#!/bin/sh
# The tool on the other processors Debian ships it for: each built with
# Debian's cross compiler, its whole suite run under qemu-user (the unit
# tests, the end-to-end table, the pictures), its outputs over the samples
# and random inputs compared with this machine's program's, and its .deb
# made and checked by lintian. Needs the cross compilers, qemu-user and
# each processor's libc6 and libstdc++6 (see .ci/run).
# Usage: tests/arches.sh [native-build [triple...]]
set -eu
cd "$(dirname "$0")/.."
native=$(cd "${1:-build}" && pwd)
[ $# -eq 0 ] || shift
triples=${*:-aarch64-linux-gnu arm-linux-gnueabihf s390x-linux-gnu}

fail() {
	echo "arches: FAILED: $*"
	exit 1
}

dir=$(mktemp -d /tmp/loadprep-arches-XXXXXX)
trap 'rm -rf "$dir"' EXIT
for n in 1 4096 100000 4194304; do
	head -c $n /dev/urandom >"$dir/r$n"
done
cp "$native/sample.bin" "$native/sample.bmp" "$dir"

for triple in $triples; do
	b=$PWD/build-$triple
	cmake -S . -B "$b" -DCMAKE_TOOLCHAIN_FILE="cmake/$triple.cmake" >/dev/null
	cmake --build "$b" -j2 >/dev/null
	qemu=/usr/bin/qemu-$(sed -n 's/^set(qemu \(.*\))$/\1/p' "cmake/$triple.cmake")
	# Each test program once, whole: under an emulator a start costs.
	for t in loadprep_test loadprep_e2e; do
		$qemu "$b/tests/$t" --gtest_brief=1 >"$dir/$t.log" 2>&1 ||
			{ tail -60 "$dir/$t.log"; fail "$triple: $t"; }
	done
	sh tests/pictures.sh $qemu "$b/loadprep" >"$dir/pictures.log" 2>&1 ||
		{ cat "$dir/pictures.log"; fail "$triple: the pictures"; }
	bash tests/together.sh 0 $qemu "$b/loadprep" >"$dir/together.log" 2>&1 ||
		{ cat "$dir/together.log"; fail "$triple: runs together"; }
	for run in "sample.bin 8000" "sample.bmp 0 36 0 r c" "r1 0" \
		"r4096 fffffff8" "r100000 8 3 5" "r100000 0 10 20 r" \
		"r4194304 8" "r4194304 0 0 0 r c"; do
		set -- $run
		in=$1
		shift
		(cd "$dir" && "$native/loadprep" "$in" native.out "$@" >native.txt &&
			$qemu "$b/loadprep" "$in" other.out "$@" >other.txt) ||
			fail "$triple: $run"
		cmp "$dir/native.txt" "$dir/other.txt" && cmp "$dir/native.out" "$dir/other.out" ||
			fail "$triple: $run: other bytes than this machine's program's"
	done
	(cd "$b" && rm -f ./*.deb && cpack -G DEB >/dev/null)
	deb=$(ls "$b"/loadprep_*.deb)
	arch=$(sed -n 's/^set(debarch \(.*\))$/\1/p' "cmake/$triple.cmake")
	[ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$deb is not for $arch"
	lintian --fail-on error,warning "$deb" || fail "lintian on $deb"
	echo "arches: $triple: the table $(grep -o 'PASSED.*' "$dir/loadprep_e2e.log" | tr -d ']')" \
		"the bytes are this machine's, $deb is lintian-clean"
done
