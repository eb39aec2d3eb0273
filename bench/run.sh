#!/bin/sh
# Times the tool on a 4 MiB input of random bytes, and on 600 of them,
# beside its floor: the least a run can cost, reading the input and then
# writing ready-made bytes of the output's length through the tool's own
# replacing unit (bench/floor.cpp). Also beside dd with 64 KiB blocks
# copying a file as large as the output, not safely, and beside xxd. Counts
# the listing's page faults, peak memory and instructions per payload byte.
# Not a test: it prints figures and sets no limit.
# Usage: [ROUNDS=n] bench/run.sh [BASELINE]  (BASELINE: another build of
# the tool, timed in the same rounds, each figure then given for both)
set -eu
cd "$(dirname "$0")/.."
base=${1:+$(realpath "$1")}

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
cmake --build build-bench --target loadprep loadprep_floor >/dev/null
tool=$PWD/build-bench/loadprep floor=$PWD/build-bench/loadprep_floor
dir=$(mktemp -d /tmp/loadprep-bench-XXXXXX)
trap 'rm -rf "$dir"' EXIT
cd "$dir"

head -c 4194304 /dev/urandom >in.bin
head -c 600 in.bin >small.bin
"$tool" in.bin text.lst 8000 >/dev/null # dd copies a file this large
n=$(wc -c <text.lst)
"$tool" small.bin small.lst 8000 >/dev/null
smalln=$(wc -c <small.lst)
echo "bench: 4 MiB input, listing of $n bytes; 600-byte input, listing of $smalln"

# Each round times every command in turn, so that a slower or busier
# moment of the machine falls on all of them alike; a ratio is the median
# over the rounds of that round's ratio of medians.
rounds=${ROUNDS:-10}
runs=15
tab=$(printf '\t')
{
	printf 'listing\t%s\n' "$tool in.bin out.lst 8000"
	printf 'raw\t%s\n' "$tool in.bin out.raw 0 0 0 r"
	printf 'picture\t%s\n' "$tool in.bin out.img 0 0 0 r c"
	printf 'small\t%s\n' "$tool small.bin small.lst 8000"
	printf 'smallraw\t%s\n' "$tool small.bin small.raw 0 0 0 r"
	printf 'floor-listing\t%s\n' "$floor in.bin floor.lst $n"
	printf 'floor-raw\t%s\n' "$floor in.bin floor.raw 4194304"
	printf 'floor-small\t%s\n' "$floor small.bin floor-small.lst $smalln"
	printf 'floor-smallraw\t%s\n' "$floor small.bin floor-small.raw 600"
	printf 'xxd\t%s\n' "xxd in.bin out.xxd"
	printf 'dd-listing\t%s\n' "dd if=text.lst of=copy.lst bs=64K status=none"
	printf 'dd-raw\t%s\n' "dd if=in.bin of=copy.raw bs=64K status=none"
	if [ -n "$base" ]; then
		printf 'base-listing\t%s\n' "$base in.bin out.lst 8000"
		printf 'base-raw\t%s\n' "$base in.bin out.raw 0 0 0 r"
		printf 'base-small\t%s\n' "$base small.bin small.lst 8000"
	fi
} >commands.txt
names=$(cut -f1 commands.txt)
: >times.csv
r=0
while [ $r -lt $rounds ]; do
	# Every other round runs the commands in the opposite order: the first
	# of a round runs a little slower, and so that falls on all alike.
	[ $((r % 2)) = 0 ] && order=cat || order=tac
	set --
	while IFS=$tab read -r name command; do
		set -- "$@" -n "$name" "$command"
	done <<EOF
$($order commands.txt)
EOF
	hyperfine -N --warmup 3 --runs $runs --style none \
		--export-csv round.csv "$@" >/dev/null 2>&1
	awk -F, -v r=$r 'NR > 1 { print r "," $1 "," $4 }' round.csv >>times.csv
	r=$((r + 1))
done

median() { # of the numbers on standard input
	sort -g | awk '{ v[NR] = $1 } END { print (v[int((NR + 1) / 2)] + v[int(NR / 2) + 1]) / 2 }'
}
ms() {
	awk -F, -v n="$1" '$2 == n { print $3 * 1000 }' times.csv | median
}
ratio() {
	awk -F, -v a="$1" -v b="$2" '
		$2 == a { x[$1] = $3 } $2 == b { y[$1] = $3 }
		END { for (r in x) print x[r] / y[r] }' times.csv | median
}
echo
echo "median times (ms), $rounds rounds of $runs runs:"
for n in $names; do
	printf '  %-13s %8.2f\n' "$n" "$(ms "$n")"
done
echo "paired ratios (median over rounds):"
pairs="listing/floor-listing raw/floor-raw small/floor-small smallraw/floor-smallraw"
pairs="$pairs listing/dd-listing raw/dd-raw listing/xxd"
[ -z "$base" ] || pairs="$pairs listing/base-listing raw/base-raw small/base-small"
for p in $pairs; do
	printf '  %-22s %6.3f\n' "$p" "$(ratio "${p%/*}" "${p#*/}")"
done

# Page faults and peak memory, each the median of 9 runs.
measure() { # format, then the command
	f=$1
	shift
	for i in 1 2 3 4 5 6 7 8 9; do
		/usr/bin/time -f "$f" -o m.txt "$@" >/dev/null
		cat m.txt
	done | median
}
echo
for t in "$tool" $base; do
	[ "$t" = "$tool" ] && who=this || who=baseline
	echo "$who build:"
	echo "  minor page faults, 4 MiB listing: $(measure %R "$t" in.bin out.lst 8000)"
	echo "  peak memory, 4 MiB listing:  $(measure %M "$t" in.bin out.lst 8000) KiB"
	echo "  peak memory, 600-byte listing: $(measure %M "$t" small.bin small.lst 8000) KiB"
done

# Instructions do not depend on the machine's load; a run on an empty input
# takes out what every run spends on starting and reporting.
head -c 262144 in.bin >in256k.bin
: >empty.bin
count() {
	valgrind --tool=callgrind --callgrind-out-file=cg.out \
		"$tool" "$1" cg.lst 8000 >/dev/null 2>&1
	sed -n 's/^totals: //p' cg.out
}
echo
awk -v f="$(count in256k.bin)" -v b="$(count empty.bin)" \
	'BEGIN { printf "  listing: %.2f instructions per payload byte\n", (f - b) / 262144 }'
