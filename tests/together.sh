#!/bin/bash
# Runs that meet on one output, as a build script's jobs do. What each may
# leave is what a run alone leaves, made first beside them.
# - Racing: a listing and a raw run at once, the raw one now and then
#   failing on a size cap, the listing killed at a random moment by each
#   signal that ends a run, and the output's folder now and then moved away
#   and back meanwhile. The output is the old one unless a run finished,
#   and then what a finished run wrote; a run killed by a signal it could
#   hold left the old output. SIGKILL may leave a new file whole under a
#   name of its own, and, where the tool has no unnamed files, part of one.
# - Turns: two runs at once with HUP and INT ignored, as nohup and `cmd &`
#   start them, and sent: both end with status 0, and the output is one's
#   whole; bind-mounted ones, written in place, take turns.
# Usage: tests/together.sh 0|1 (the portable unit) [emulator...] loadprep
set -u
portable=$1
shift
t=$(mktemp -d "${LOADPREP_TESTDIR:-/tmp}/loadprep-together-XXXXXX")
trap 'umount -l "$t/bound" 2>/dev/null; rm -rf "$t"' EXIT
cd "$t" || exit 1
failed=0
fail() {
	echo "together: round $round: $*"
	failed=1
}
alone() { # the input of n bytes, and what a listing and a raw run write
	seq 1000000 | head -c "$1" >in
	shift
	"$@" in lst 0 >/dev/null && "$@" in raw 0 0 0 r >/dev/null
}
# A run that starts while its folder is away fails, as the shell would.
gone() {
	[ $moved = 1 ] && [ "$2" = 1 ] &&
		[ "$(tail -1 "$1")" = "Can't Save 'sub/out': the folder 'sub' does not exist" ]
}

round=start
alone $((0x60000)) "$@" || { fail "a run alone failed"; exit 1; }
mkdir sub
killed=0 leftovers=0 round=0
for capped in 0 1 0 1 0; do
	for sig in TERM INT HUP QUIT USR1 USR2 ALRM VTALRM PROF PWR RTMIN KILL; do
		echo old >sub/out
		env --default-signal "$@" in sub/out 0 >alst 2>&1 &
		a=$!
		prlimit --fsize="$([ $capped = 1 ] && echo 65536 || echo unlimited)" \
			env --default-signal \
			"$@" in sub/out 0 0 0 r >braw 2>&1 &
		b=$!
		sleep "$(printf 0.%03d $((RANDOM % 12)))"
		moved=$((round % 3 == 0))
		[ $moved = 0 ] || { mv sub moved && mv moved sub; }
		kill -s "$sig" $a 2>/dev/null # unless it has ended
		wait $a 2>/dev/null # no word from the shell of the signal
		sa=$?
		wait $b
		sb=$?
		[ $sa = 0 ] || [ $sa = $((128 + $(kill -l "$sig"))) ] || gone alst $sa ||
			fail "$sig: status $sa: $(tail -1 alst)"
		[ $sb = "$capped" ] || gone braw $sb || fail "raw run: status $sb: $(tail -1 braw)"
		[ $sa -le 128 ] || killed=$((killed + 1))
		for f in sub/.loadprep-*; do
			[ -e "$f" ] || continue
			[ "$sig" = KILL ] && { [ "$portable" = 1 ] || cmp -s "$f" lst; } ||
				fail "left $f"
			rm -f "$f" && leftovers=$((leftovers + 1))
		done
		[ "$(ls -A sub)" = out ] || fail "left $(ls -A sub)"
		{ [ $sa = 0 ] || [ "$sig" = KILL ]; } && cmp -s sub/out lst ||
			{ [ $sb = 0 ] && cmp -s sub/out raw; } ||
			{ [ $sa != 0 ] && [ $sb != 0 ] && [ "$(cat sub/out)" = old ]; } ||
			fail "status $sa and $sb, and out is $(head -c 40 sub/out | od -An -c | head -1)"
		round=$((round + 1))
	done
done
echo "together: $killed of $round listing runs killed, $leftovers new files left named by SIGKILL"
[ $killed != 0 ] || fail "no run killed"

round=start
alone $((0x200000)) "$@" || { fail "a run alone failed"; exit 1; }
echo old >src
touch bound
mount --bind src bound 2>/dev/null # as root
trap '' HUP INT
for round in $(seq 0 29); do
	out=plain
	[ $((round % 2)) = 0 ] || out=bound
	# The listing is held back after its first write in place, while the
	# raw run comes: without turns, the two would mix.
	ASAN_OPTIONS=detect_leaks=0 strace -f -o /dev/null -P "$PWD/$out" \
		-e trace=write,pwrite64 -e inject=write,pwrite64:delay_exit=300000:when=2 \
		"$@" in $out 0 >/dev/null &
	a=$!
	sleep 0.1
	"$@" in $out 0 0 0 r >/dev/null &
	b=$!
	sleep "$(printf 0.%03d $((RANDOM % 10)))"
	[ $((round % 4)) -lt 2 ] && sigs="HUP INT" || sigs="INT HUP"
	kill -s "${sigs% *}" "$(cat /proc/$a/task/$a/children 2>/dev/null)" 2>/dev/null
	kill -s "${sigs#* }" $b 2>/dev/null
	wait $a || fail "status $? for the listing"
	wait $b || fail "status $? for the raw run"
	cmp -s $out lst || cmp -s $out raw || fail "$out is neither whole"
done
exit $failed
