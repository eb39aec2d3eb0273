#!/bin/sh
# Times the tool on a 4 MiB input of random bytes beside xxd and cp, and
# counts the listing's instructions per payload byte with callgrind.
# Not a test: it prints figures and sets no limit. Usage: bench/run.sh
set -eu
cd "$(dirname "$0")/.."

need="hyperfine valgrind xxd /usr/bin/time"
missing=
for t in $need; do
	command -v "$t" >/dev/null || missing="$missing $t"
done
if [ -n "$missing" ]; then
	[ "$(id -u)" = 0 ] || { echo "bench: needs$missing"; exit 1; }
	apt-get update -qq
	DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
		hyperfine valgrind xxd time >/dev/null
fi

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build-bench --target loadprep >/dev/null
tool=$PWD/build-bench/loadprep
dir=$(mktemp -d /tmp/loadprep-bench-XXXXXX)
trap 'rm -rf "$dir"' EXIT
cd "$dir"

head -c 4194304 /dev/urandom >in.bin
"$tool" in.bin text.lst 8000 >/dev/null # cp copies a file this large
echo "bench: 4 MiB input, listing of $(wc -c <text.lst) bytes"

hyperfine -N --warmup 3 --runs 30 --style basic --export-csv times.csv \
	-n listing "$tool in.bin out.lst 8000" \
	-n raw "$tool in.bin out.raw 0 0 0 r" \
	-n picture "$tool in.bin out.img 0 0 0 r c" \
	-n xxd "xxd in.bin out.xxd" \
	-n cp-listing "cp text.lst copy.lst" \
	-n cp-raw "cp in.bin copy.raw" >hyperfine.log 2>&1

median() {
	awk -F, -v n="$1" '$1 == n { print $4 }' times.csv
}
ratio() {
	awk -v a="$(median "$1")" -v b="$(median "$2")" \
		'BEGIN { printf "%.2f", a / b }'
}
echo
echo "median times (ms) over 30 runs:"
for n in listing raw picture xxd cp-listing cp-raw; do
	awk -v n=$n -v t="$(median $n)" 'BEGIN { printf "  %-11s %8.2f\n", n, t * 1000 }'
done
echo "  listing/xxd        $(ratio listing xxd)"
echo "  listing/cp-listing $(ratio listing cp-listing)"
echo "  raw/cp-raw         $(ratio raw cp-raw)"

# Instructions do not depend on the machine's load; a run on an empty input
# takes out what every run spends on starting and reporting.
head -c 262144 in.bin >in256k.bin
: >empty.bin
count() {
	valgrind --tool=callgrind --callgrind-out-file=cg.out \
		"$tool" "$1" cg.lst 8000 >/dev/null 2>&1
	sed -n 's/^totals: //p' cg.out
}
full=$(count in256k.bin)
base=$(count empty.bin)
echo
echo "instructions: $full for 256 KiB, $base for an empty input"
awk -v f="$full" -v b="$base" \
	'BEGIN { printf "  listing: %.2f instructions per payload byte\n", (f - b) / 262144 }'

/usr/bin/time -v "$tool" in.bin out.lst 8000 2>rss.log >/dev/null
echo "  peak resident memory of a 4 MiB listing: $(sed -n 's/.*Maximum resident set size (kbytes): //p' rss.log) KiB"
