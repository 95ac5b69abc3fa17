#!/usr/bin/env bash
# Runs every fuzz target for a while over its seed corpus.
# Usage: scripts/fuzz.sh [seconds per target] [targets...]
#   FUZZ_JOBS   targets run side by side (default 2: the machine's cores)
#   FUZZ_BUILD  build directory of the fuzz preset (default build/fuzz)
# Builds the `fuzz` preset first. Inputs found new are kept in
# $FUZZ_BUILD/corpus/<target> (the committed seeds stay in fuzz/corpus);
# a crash, leak or hang leaves its input in $FUZZ_BUILD/findings/<target> and
# fails the run. Prints the executions of every target.
set -uo pipefail
case ${1:-} in
    -h | --help) sed -n '2,9s/^# \{0,1\}//p' "$0"; exit 0 ;;
    '' | *[!0-9]*) [ -z "${1:-}" ] || { echo "fuzz.sh: seconds must be a number: $1 (see --help)" >&2; exit 2; } ;;
esac
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
build=${FUZZ_BUILD:-build/fuzz}
jobs=${FUZZ_JOBS:-2}

cmake --preset fuzz -B "$build" >/dev/null || exit 1
cmake --build "$build" --target fuzzers || exit 1

if [ $# -gt 0 ]; then
    targets=("$@")
else
    targets=()
    for exe in "$build"/bin/fuzz_*; do targets+=("$(basename "$exe" | sed 's/^fuzz_//')"); done
fi

run_one() {
    local t=$1 exe="$build/bin/fuzz_$1"
    local work="$build/corpus/$t" findings="$build/findings/$t" log="$build/logs/$t.log"
    mkdir -p "$work" "$findings" "$(dirname "$log")" "fuzz/corpus/$t"
    # A single input that takes 20 s is a hang. The targets that run the
    # whole platform check for leaks after every input through its counters
    # (heap blocks, handles, keys, transfers, threads); libFuzzer's own
    # per-input leak check would race with platform threads still exiting
    # (their thread-local destructor records), so it is off for them.
    local leaks=1
    case $t in ioctl | receive | first_attach | configured_attach) leaks=0 ;; esac
    ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "$exe" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 \
        -detect_leaks=$leaks \
        -artifact_prefix="$findings/" "$work" "fuzz/corpus/$t" >"$log" 2>&1
    local rc=$?
    local runs
    runs=$(grep -o 'Done [0-9]* runs in [0-9]* second' "$log" | tail -1)
    if [ $rc -eq 0 ]; then
        echo "fuzz: $t: ${runs:-no summary}, no finding"
    else
        echo "fuzz: $t: FINDING (exit $rc), input in $findings/; log $log:"
        grep -E 'ERROR|SUMMARY|fuzz:|deadly|Test unit written' "$log" | head -20
    fi
    return $rc
}

status=0
pids=()
names=()
for t in "${targets[@]}"; do
    run_one "$t" &
    pids+=($!)
    names+=("$t")
    if [ ${#pids[@]} -ge "$jobs" ]; then
        wait "${pids[0]}" || status=1
        pids=("${pids[@]:1}")
    fi
done
for p in "${pids[@]}"; do wait "$p" || status=1; done
exit $status
