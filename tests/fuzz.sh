#!/bin/sh
# Builds the fuzzer with clang and fuzzes whole runs for the given number of
# seconds (default 60), starting from the end-to-end rows. Fails on any
# crash, sanitizer report, leak or wrong output; findings are left in
# build-fuzz/findings. The corpus it grows is kept in build-fuzz/corpus for
# the next run. Usage: tests/fuzz.sh [seconds]
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-60}
maxlen=200000 # room for the sample picture; larger inputs only slow it

CXX=clang++ cmake -S . -B build-fuzz -DLOADPREP_FUZZ=ON
cmake --build build-fuzz --target loadprep_fuzz loadprep_seeds
mkdir -p build-fuzz/seeds build-fuzz/corpus build-fuzz/findings
build-fuzz/tests/loadprep_seeds build-fuzz/seeds $maxlen
build-fuzz/tests/loadprep_fuzz -max_total_time="$seconds" -max_len=$maxlen \
	-print_final_stats=1 -artifact_prefix=build-fuzz/findings/ \
	build-fuzz/corpus build-fuzz/seeds 2>build-fuzz/fuzz.log ||
	{ tail -40 build-fuzz/fuzz.log; exit 1; }
grep -E '^#[0-9]+[[:space:]]+DONE|^stat::' build-fuzz/fuzz.log
