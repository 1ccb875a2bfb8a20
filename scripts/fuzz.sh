#!/usr/bin/env bash
# Builds the libFuzzer harnesses of tests/fuzz (clang, AddressSanitizer + UBSan, in build-fuzz/)
# and runs each for a while from a copy of its committed seed corpus tests/fuzz/corpus/<name>/.
# One line per harness; exits non-zero when a harness finds a crash, a hang or a broken
# property (the input is kept in a temporary folder that is named). Skips with a message
# where clang or libFuzzer's runtime is missing.
#   fuzz.sh [seconds per harness, default 20]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-20}"

probe="$(mktemp -d)"
trap 'rm -rf "$probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' > "$probe/p.cpp"
if ! command -v clang >/dev/null || ! command -v clang++ >/dev/null ||
   ! clang++ -fsanitize=fuzzer,address,undefined "$probe/p.cpp" -o "$probe/p" >/dev/null 2>&1; then
    echo "fuzz: skipped (clang++ with libFuzzer not found: install clang and libclang-rt-14-dev)"
    exit 0
fi

build="$root/build-fuzz"
CC=clang CXX=clang++ bash "$root/scripts/build.sh" --dir "$build" --what "the fuzz harnesses (clang, sanitizers)" \
    -DCAMRELAY_FUZZ=ON -DCAMRELAY_GUI=OFF -DCAMRELAY_TESTS=OFF -DCAMRELAY_BENCH=OFF
work="$(mktemp -d "${TMPDIR:-/tmp}/camrelay-fuzz.XXXXXX")"
# One harness per core at a time: each runs single-threaded for its whole time.
jobs="$(nproc 2>/dev/null || echo 1)"
echo "fuzz: running $(ls "$root"/tests/fuzz/*_fuzz.cpp | wc -l) harnesses for $seconds s each, $jobs at a time"

# fuzz_one NAME: runs one harness from a copy of its corpus; writes its result line to
# $work/<short>/result and exits non-zero on a finding.
fuzz_one() {
    local name="$1" short="${1%_fuzz}"
    local dir="$work/$short"
    mkdir -p "$dir/corpus"
    # The runs add inputs to their corpus: work on a copy so the tree is never written.
    if [ -d "$root/tests/fuzz/corpus/$short" ]; then
        cp -R "$root/tests/fuzz/corpus/$short/." "$dir/corpus/"
    fi
    local seeds runs artifact
    seeds="$(find "$dir/corpus" -type f | wc -l)"
    if (cd "$dir" && "$build/fuzz/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
            -artifact_prefix="$dir/" -print_final_stats=1 corpus >"$dir/log" 2>&1); then
        runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -1)"
        echo "fuzz $short: ok, ${runs:-?} runs in ${seconds} s from $seeds seeds" >"$dir/result"
        return 0
    fi
    artifact="$(ls "$dir"/crash-* "$dir"/timeout-* "$dir"/oom-* "$dir"/leak-* 2>/dev/null | head -1 || true)"
    echo "fuzz $short: FAILED (input ${artifact:-none kept}; log $dir/log)" >"$dir/result"
    return 1
}

names=()
for source in "$root"/tests/fuzz/*_fuzz.cpp; do
    names+=("$(basename "$source" .cpp)")
done
failed=0
pids=()
for name in "${names[@]}"; do
    fuzz_one "$name" &
    pids+=("$!")
    if [ "${#pids[@]}" -ge "$jobs" ]; then
        wait "${pids[0]}" || failed=1
        pids=("${pids[@]:1}")
    fi
done
for pid in "${pids[@]}"; do
    wait "$pid" || failed=1
done
for name in "${names[@]}"; do
    cat "$work/${name%_fuzz}/result"
done
if [ "$failed" -eq 0 ]; then
    rm -rf "$work"
    exit 0
fi
exit 1
