#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer),
# replays every seed corpus in fuzz/corpus/, then fuzzes each target for SECONDS (default 10).
# Inputs found while fuzzing go to build/fuzz/fuzzing/<target>/corpus; the seed corpus only
# changes when a target fails: the failing input is then copied into fuzz/corpus/<target>/ so
# that every later replay (CI's included) runs it, and the script exits 1.
# Usage: scripts/fuzz.sh [SECONDS]   (GWU_FUZZ_JOBS: how many targets run at once, default nproc)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
work=build/fuzz/fuzzing
failed=()
targets=0

# Keeps the artifacts of a failed run in the seed corpus; prints where they went.
keep_artifacts() {
    local target=$1 artifact
    for artifact in "$work/$target/artifacts"/{crash,leak,timeout,oom}-*; do
        [ -e "$artifact" ] || continue
        cp "$artifact" "fuzz/corpus/$target/"
        echo "  kept $artifact as fuzz/corpus/$target/$(basename "$artifact")"
    done
}

# One target: its seeds replayed, then fuzzed. Prints its lines; writes "ok" or "failed" to
# $work/TARGET/status.
fuzz_target() {
    local target=$1 seeds="fuzz/corpus/$1/" fuzzer="build/fuzz/fuzz/fuzz_$1" dict=() options
    if [ -f "fuzz/$target.dict" ]; then
        dict=(-dict="fuzz/$target.dict")
    fi
    rm -rf "$work/$target/artifacts" && mkdir -p "$work/$target/corpus" "$work/$target/artifacts"
    options=(-timeout=10 -artifact_prefix="$work/$target/artifacts/")
    echo failed >"$work/$target/status"

    # Every seed, once: the inputs of faults found earlier stay fixed.
    if ! "$fuzzer" "${options[@]}" -runs=0 "$seeds" >"$work/$target/replay.log" 2>&1; then
        echo "fuzz_$target: replay of $seeds FAILED (log: $work/$target/replay.log)"
        tail -n 30 "$work/$target/replay.log"
        return
    fi

    if "$fuzzer" "${options[@]}" "${dict[@]}" -max_total_time="$seconds" -print_final_stats=1 \
        "$work/$target/corpus" "$seeds" >"$work/$target/fuzz.log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target/fuzz.log")
        echo "fuzz_$target: ${runs:-?} runs in ${seconds}s, no failure"
        echo ok >"$work/$target/status"
    else
        echo "fuzz_$target: FAILED (log: $work/$target/fuzz.log)"
        tail -n 40 "$work/$target/fuzz.log"
        keep_artifacts "$target"
    fi
}

# The targets run side by side, one per processor (GWU_FUZZ_JOBS), each for SECONDS; their lines
# are printed in the targets' order.
jobs_max=${GWU_FUZZ_JOBS:-$(nproc)}
names=()
for seeds in fuzz/corpus/*/; do
    target=$(basename "$seeds")
    names+=("$target")
    mkdir -p "$work/$target"
    while [ "$(jobs -rp | wc -l)" -ge "$jobs_max" ]; do
        wait -n || true
    done
    fuzz_target "$target" >"$work/$target/summary.log" 2>&1 &
done
wait
for target in "${names[@]}"; do
    targets=$((targets + 1))
    cat "$work/$target/summary.log"
    [ "$(cat "$work/$target/status" 2>/dev/null)" = ok ] || failed+=("$target")
done

echo "fuzzers: $((targets - ${#failed[@]})) passed, ${#failed[@]} failed"
if [ "${#failed[@]}" -gt 0 ]; then
    echo "failed: ${failed[*]}"
    exit 1
fi
