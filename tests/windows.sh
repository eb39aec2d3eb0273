#!/bin/sh
# Builds the 32-bit and 64-bit Windows programs, checks that they are
# console programs on msvcrt.dll with no other DLL beside the system's, runs
# the end-to-end table against the 64-bit one under wine (the 32-bit one
# can't run here), and checks that it writes the very bytes the Linux
# program writes. Usage: tests/windows.sh [linux-build-folder]
set -eu
cd "$(dirname "$0")/.."
linux=$(cd "${1:-build}" && pwd)

fail() {
	echo "windows: FAILED: $*"
	exit 1
}

for arch in i686 x86_64; do
	cmake --fresh -S . -B "build-$arch" -DBUILD_TESTING=OFF \
		-DCMAKE_TOOLCHAIN_FILE="cmake/$arch-w64-mingw32.cmake"
	cmake --build "build-$arch"
	exe=build-$arch/loadprep.exe
	imports=$("$arch-w64-mingw32-objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' |
		sort | tr '\n' ' ')
	[ "$imports" = "KERNEL32.dll msvcrt.dll " ] ||
		fail "$exe imports $imports"
	"$arch-w64-mingw32-objdump" -p "$exe" | grep -q '^Subsystem.*Windows CUI' ||
		fail "$exe is not a console program"
	echo "windows: $exe imports $imports"
done
(cd build-i686 && cpack >/dev/null)
zip=$(ls build-i686/loadprep-*-win32.zip)
unzip -l "$zip" | grep -q 'loadprep.exe' && unzip -l "$zip" | grep -q 'README.md' ||
	fail "$zip lacks the program or the README"
echo "windows: packed $zip"
i686-w64-mingw32-objdump -f build-i686/loadprep.exe | grep -q 'file format pei-i386' ||
	fail "build-i686/loadprep.exe is not a 32-bit program"

wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
WINEPREFIX=$(mktemp -d /tmp/loadprep-wine-XXXXXX)
WINEDEBUG=-all
export WINEPREFIX WINEDEBUG
trap '"$wineserver" -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
"$wineserver" -p # one server for every run: wine is flaky when many start at once
"$wine" wineboot -i >/dev/null 2>&1 || true

exe=$PWD/build-x86_64/loadprep.exe
LOADPREP_CMD="$wine $exe" "$linux/tests/loadprep_e2e"

out=$(mktemp -d /tmp/loadprep-same-XXXXXX)
for run in "sample.bin lst 8000" "sample.bmp img 0 36 0 raw pic"; do
	set -- $run
	in=$1 ext=$2
	shift 2
	"$linux/loadprep" "$linux/$in" "$out/linux.$ext" "$@" >/dev/null
	(cd "$linux" && "$wine" "$exe" "$in" "$out/windows.$ext" "$@") >/dev/null
	cmp "$out/linux.$ext" "$out/windows.$ext" ||
		fail "$in: the Windows program wrote other bytes"
	echo "windows: $in gives the same $ext from both programs"
done
rm -rf "$out"
echo "windows: all checks passed"
