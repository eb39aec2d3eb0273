#!/bin/sh
# Builds the 32-bit and 64-bit Windows programs and checks each the same
# way: a console program on msvcrt.dll with no other DLL beside the
# system's, carrying the manifest that makes its code page UTF-8; then the
# end-to-end table under wine, and the very bytes the Linux program writes.
# The 64-bit program runs under wine64. The 32-bit one, the program that
# ships, runs under the i386 wine; where the kernel can't run 32-bit code
# (no IA-32 emulation), qemu-i386 runs that wine, handed every i386
# program by binfmt_misc in a user and mount namespace of this script's
# own, so that nothing else on the machine sees the registration.
# Usage: tests/windows.sh [linux-build-folder]
set -eu
cd "$(dirname "$0")/.."
export LC_ALL=C.UTF-8 # wine names files in UTF-8, as the rows do
wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
wine32=/usr/lib/wine/wine
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)

fail() {
	echo "windows: FAILED: $*"
	exit 1
}

# The table and the byte comparisons against build-$1/loadprep.exe, run by
# the wine loader $2, in a wine prefix of their own.
runtable() {
	arch=$1 wine=$2
	exe=$PWD/build-$arch/loadprep.exe holder=$PWD/build-$arch/holder.exe
	WINEPREFIX=$(mktemp -d /tmp/loadprep-wine-XXXXXX)
	WINEDEBUG=-all
	export WINEPREFIX WINEDEBUG
	"$wineserver" -p # one server for every run: wine is flaky when many start at once
	"$wine64" wineboot -i >/dev/null 2>&1 || true
	LOADPREP_CMD="$wine $exe" "$linux/tests/loadprep_e2e" ||
		{ "$wineserver" -k; fail "$exe: the end-to-end table"; }
	out=$(mktemp -d /tmp/loadprep-same-XXXXXX)
	for run in "sample.bin lst 8000" "sample.bmp img 0 36 0 raw pic"; do
		set -- $run
		in=$1 ext=$2
		shift 2
		"$linux/loadprep" "$linux/$in" "$out/linux.$ext" "$@" >/dev/null
		(cd "$linux" && "$wine" "$exe" "$in" "$out/windows.$ext" "$@") >/dev/null
		cmp "$out/linux.$ext" "$out/windows.$ext" ||
			fail "$exe, $in: other bytes than the Linux program's"
		echo "windows: $exe: $in gives the same $ext as on Linux"
	done
	# A hidden file replaced stays hidden, as cmd's redirection leaves it.
	echo old >"$out/hidden.lst"
	(cd "$out" && "$wine" cmd /c attrib +h hidden.lst && "$wine" "$exe" "$linux/sample.bin" hidden.lst 8000 >/dev/null)
	(cd "$out" && "$wine" cmd /c attrib hidden.lst) | grep -q '^A *H ' || fail "$exe: a hidden file replaced lost the attribute"
	cmp "$out/hidden.lst" "$out/linux.lst" || fail "$exe: a hidden file not replaced"
	# A file another program holds open: shared for writing but not for
	# replacing, it is written in place; locked as another run locks it,
	# the run waits its turn and says so; not shared, the run says why in
	# the system's words.
	for share in rw lock none; do
		echo old >"$out/held.lst"
		(cd "$out" && exec "$wine" "$holder" held.lst $share held) &
		hold=$!
		while [ ! -e "$out/held" ] && kill -0 $hold 2>/dev/null; do sleep 0.1; done
		(cd "$linux" && exec "$wine" "$exe" sample.bin "$out/held.lst" 8000 >"$out/said" 2>&1) &
		run=$!
		[ $share != lock ] || { sleep 3 && kill $hold; }
		wait $run && ok=0 || ok=$?
		kill $hold 2>/dev/null && wait $hold 2>/dev/null || true
		said=$(cat "$out/said")
		rm -f "$out/held"
		case $share:$ok:$said in
		rw:0:* | lock:0:*"Waiting for"*) cmp "$out/held.lst" "$out/linux.lst" || fail "$exe: a held file not written in place" ;;
		none:1:*"Permission denied"*) fail "$exe: a sharing violation said as: $said" ;;
		none:1:*) ;;
		*) fail "$exe, a file held with $share sharing: status $ok: $said" ;;
		esac
	done
	echo "windows: $exe: a file another program holds is written in place, after its lock, or refused with the reason"
	head -c 4194304 /dev/urandom >"$out/big.bin"
	# Killed while it writes its new file, a run leaves the output old or
	# new, and no new file beside it.
	echo old >"$out/out.lst"
	(cd "$out" && exec "$wine" "$exe" big.bin out.lst 8000 >/dev/null) &
	set -- "$out"/lp*.tmp
	while [ ! -s "$1" ] && kill -0 $! 2>/dev/null; do set -- "$out"/lp*.tmp; done
	[ -s "$1" ] || fail "$exe ended before its new file could be seen"
	kill -KILL $!
	wait $! || true
	"$linux/loadprep" "$out/big.bin" "$out/big.lst" 8000 >/dev/null
	for i in 1 2 3 4 5 6 7 8 9 10; do # wineserver closes the dead run's files
		set -- "$out"/lp*.tmp
		[ -e "$1" ] && sleep 0.5
	done
	[ ! -e "$1" ] || fail "$exe, killed, left $1"
	[ "$(cat "$out/out.lst")" = old ] || cmp "$out/out.lst" "$out/big.lst" ||
		fail "$exe, killed, left an output neither old nor new"
	echo "windows: $exe: a killed run leaves no new file behind"
	"$wineserver" -k
	rm -rf "$out" "$WINEPREFIX"
}

linux=$(cd "${2:-${1:-build}}" && pwd)

# Inside the namespace: qemu-i386 takes every i386 program, wine's own
# among them.
if [ "${1:-}" = --i686 ]; then
	mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc ||
		fail "no binfmt_misc of a namespace's own (it needs kernel 6.7 or later)"
	printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' \
		>/proc/sys/fs/binfmt_misc/register ||
		fail "can't register qemu-i386 with binfmt_misc"
	"$wine32" --version >/dev/null || fail "the i386 wine does not start under qemu-i386"
	runtable i686 "$wine32"
	exit 0
fi

for arch in i686 x86_64; do
	cmake --fresh -S . -B "build-$arch" -DBUILD_TESTING=OFF \
		-DCMAKE_TOOLCHAIN_FILE="cmake/$arch-w64-mingw32.cmake"
	cmake --build "build-$arch"
	"$arch-w64-mingw32-gcc" -O2 -o "build-$arch/holder.exe" tests/holder.c
	exe=build-$arch/loadprep.exe
	imports=$("$arch-w64-mingw32-objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' |
		sort | tr '\n' ' ')
	[ "$imports" = "KERNEL32.dll msvcrt.dll " ] ||
		fail "$exe imports $imports"
	"$arch-w64-mingw32-objdump" -p "$exe" | grep -q '^Subsystem.*Windows CUI' ||
		fail "$exe is not a console program"
	grep -q '<activeCodePage[^>]*>UTF-8</activeCodePage>' "$exe" ||
		fail "$exe lacks the manifest that makes its code page UTF-8"
	grep -q '<longPathAware[^>]*>true</longPathAware>' "$exe" ||
		fail "$exe does not declare that it takes long paths"
	hardening="DYNAMIC_BASE NX_COMPAT"
	[ "$arch" = i686 ] || hardening="$hardening HIGH_ENTROPY_VA"
	for c in $hardening; do
		"$arch-w64-mingw32-objdump" -p "$exe" |
			sed -n '/^DllCharacteristics/,/^SizeOfStackReserve/p' | grep -q "$c" ||
			fail "$exe lacks $c"
	done
	echo "windows: $exe imports $imports, carries the UTF-8 manifest, has $hardening"
done
i686-w64-mingw32-objdump -f build-i686/loadprep.exe | grep -q 'file format pei-i386' ||
	fail "build-i686/loadprep.exe is not a 32-bit program"
readme=$(mktemp)
for bits in 32 64; do
	[ $bits = 32 ] && arch=i686 || arch=x86_64
	(cd build-$arch && cpack >/dev/null)
	zip=$(ls build-$arch/loadprep-*-win$bits.zip)
	for f in loadprep.exe LICENSE.txt README.txt; do
		unzip -l "$zip" | grep -q "/$f\$" || fail "$zip lacks $f"
	done
	unzip -p "$zip" '*/README.txt' >"$readme"
	[ "$(head -n 1 "$readme")" = "NAME$(printf '\r')" ] ||
		fail "$zip: README.txt starts with the manual page's header"
	[ "$(grep -c . "$readme")" -gt 100 ] || fail "$zip: README.txt is not the manual page"
	! grep -qv "$(printf '\r')\$" "$readme" || fail "$zip: README.txt has lines that don't end in CR LF"
	! grep -q "LOADPREP(1)" "$readme" || fail "$zip: README.txt has the manual page's footer"
	awk '{ sub(/\r$/, "") } length > 79 { exit 1 }' "$readme" ||
		fail "$zip: README.txt has a line over 79 columns"
	grep -q "This is the $bits-bit Windows program" "$readme" || fail "$zip: README.txt names another program"
	! grep -qE 'cmake|apt-get' "$readme" || fail "$zip: README.txt holds Linux build steps"
	! grep -nE "signal|SIG[A-Z]|ulimit|fs\.protected|/dev/|/proc|umask|FIFO|flock|[a-z]\([0-9]\)|[[:alpha:]]-$(printf '\r')\$" \
		"$readme" || fail "$zip: README.txt holds what only Linux has, or a word broken across lines"
	echo "windows: packed $zip with the licence and the manual page as Windows text"
done
rm "$readme"

runtable x86_64 "$wine64"
if "$wine32" --version >/dev/null 2>&1; then
	runtable i686 "$wine32"
else
	[ -x /usr/bin/qemu-i386 ] || fail "no /usr/bin/qemu-i386 (qemu-user 10) to run the 32-bit wine"
	unshare --user --map-root-user --mount "$0" --i686 "$linux" ||
		fail "the 32-bit program under the i386 wine"
fi
echo "windows: all checks passed, for both programs"
