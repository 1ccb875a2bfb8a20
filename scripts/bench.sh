#!/usr/bin/env bash
# Builds the benchmarks (cmake + ninja into build/, release settings), runs each of them several
# times and prints one markdown table of medians on standard output; progress goes to stderr.
#   bench.sh [--runs N] [--build-dir DIR] [--scale-counts "25 50 100 200" | --no-scale] [--no-recovery]
# One run: the start-up scan, the window opening with 10,000 rows, 50 channels supervised by CamRelay on the fake transcoder
# (then again with the status endpoint under 500 connections at once), then the same 50 children under plain bash loops
# (one `wait -n` loop, then 50 `while` loops), then the stand-in picture's ffmpeg beside a copy relay of the
# camera simulator (CPU of each, about 30 s).
# After the runs, scale.sh measures real copy relays under the headless service once per count
# (about 10 minutes for the default counts) and prints its own table; recovery.sh then measures
# 100 copy channels coming up and one coming back after kill -9, with 快速重启 and 启动间隔 off
# and on (about 8 minutes; --no-recovery leaves it out).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build"
runs=3
scale_counts="25 50 100 200"
recovery=1
while [ $# -gt 0 ]; do
    case $1 in
        --runs) runs=$2; shift 2 ;;
        --build-dir) build=$(realpath -m "$2"); shift 2 ;;
        --scale-counts) scale_counts=$2; shift 2 ;;
        --no-scale) scale_counts=""; shift ;;
        --no-recovery) recovery=0; shift ;;
        *) echo "usage: bench.sh [--runs N] [--build-dir DIR] [--scale-counts \"25 50 100 200\" | --no-scale] [--no-recovery]" >&2; exit 2 ;;
    esac
done

say() { echo "bench: $*" >&2; }

bash "$root/scripts/install-deps.sh" --test >&2
say "building into $build"
# Figures from a sanitizer build would measure the sanitizer.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCAMRELAY_GUI=ON \
    -DCAMRELAY_TESTS=ON -DCAMRELAY_BENCH=ON -DCAMRELAY_SANITIZE=OFF -DCAMRELAY_TSAN=OFF >/dev/null
ninja -C "$build" -j"$(nproc)" scan_bench engine_steps_bench gui_rows_bench gui_supervise_bench standin_cpu_bench \
    fake_ffmpeg >&2

out=$(mktemp -d /tmp/camrelay-bench-XXXXXX)
spawned=()   # a background benchmark still to be ended on exit (its `timeout` guard)
cleanup() {
    local pid
    for pid in "${spawned[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true   # timeout passes it on to the benchmark
        { wait "$pid"; } 2>/dev/null || true
    done
    rm -rf "$out"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# Runs one benchmark into $out/<name>.<run>.out; on failure shows its log and stops.
measure() {
    local name=$1 run=$2
    shift 2
    if ! timeout 120 "$@" > "$out/$name.$run.out" 2> "$out/$name.$run.log"; then
        say "$name failed (run $run):"
        tail -20 "$out/$name.$run.log" >&2
        exit 1
    fi
}

# As measure, for the GUI benchmark: also samples its whole resident size from /proc in the
# middle of its measuring window (50 children running), as the line camrelay_rss_kb_total.
measure_gui() {
    local run=$1 guard pid="" rss="" key value
    # Its working folder goes under $out, so that it is removed even if the run is cut short.
    TMPDIR="$out" timeout 120 "$build/bench/gui_supervise_bench" \
        > "$out/gui.$run.out" 2> "$out/gui.$run.log" &
    guard=$!
    spawned=("$guard")
    sleep 9
    # The benchmark is the guard's child (process names are cut to 15 characters).
    pid=$guard
    for _ in 1 2 3; do
        [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = gui_supervise_b ] && break
        read -r pid _ 2>/dev/null < "/proc/$pid/task/$pid/children" || true
    done
    if [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = gui_supervise_b ]; then
        while read -r key value _; do
            [[ $key == VmRSS: ]] && rss=$value
        done 2>/dev/null < "/proc/$pid/status" || true
    fi
    if ! wait "$guard"; then
        say "gui failed (run $run):"
        tail -20 "$out/gui.$run.log" >&2
        exit 1
    fi
    spawned=()
    echo "camrelay_rss_kb_total: ${rss:-nan}" >> "$out/gui.$run.out"
}

for ((run = 1; run <= runs; run++)); do
    say "run $run of $runs: start-up scan"
    measure scan "$run" "$build/bench/scan_bench"
    say "run $run of $runs: owner-thread steps over 5,000 queued channels"
    measure steps "$run" "$build/bench/engine_steps_bench"
    say "run $run of $runs: the window opening with 10,000 rows"
    TMPDIR="$out" measure rows "$run" "$build/bench/gui_rows_bench"
    say "run $run of $runs: CamRelay supervising 50 fake children, then under web load (about 27 s)"
    measure_gui "$run"
    say "run $run of $runs: one bash wait -n loop over the same 50 children (about 13 s)"
    measure one "$run" bash "$root/bench/shell_loop_floor.sh" "$build/bin/fake_ffmpeg" one 50 10
    say "run $run of $runs: 50 bash while loops (about 13 s)"
    measure each "$run" bash "$root/bench/shell_loop_floor.sh" "$build/bin/fake_ffmpeg" each 50 10
    say "run $run of $runs: the stand-in picture beside a copy relay of the camera simulator (about 30 s)"
    measure standin "$run" bash "$root/bench/standin_cpu.sh" "$build/bench/standin_cpu_bench" 20
done

# Median over the runs of one printed figure.
median() {
    local name=$1 key=$2
    cat "$out/$name".*.out | awk -v key="$key:" '$1 == key { print $2 }' | sort -g |
        awk '{ v[NR] = $1 } END {
            if (NR == 0) { print "nan"; exit }
            print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# A sanity check: every figure below assumes all 50 children were running and reporting.
for name in gui one each; do
    case $name in
        gui) key=supervise_rows_with_bitrate ;;
        *) key=shell_${name}_children_running ;;
    esac
    for f in "$out/$name".*.out; do
        n=$(awk -v key="$key:" '$1 == key { print $2 }' "$f")
        [ "$n" = 50 ] || say "warning: $(basename "$f"): $key is ${n:-missing}, not 50"
    done
done

# Formats an awk expression of numbers with d decimals.
fmt() { awk "BEGIN { printf \"%.*f\", $2, $1 }"; }
# CamRelay's figure over the shell's; the floor's CPU is often exactly 0 (blocked in wait).
ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN {
        if (b > 0) printf "%.0f×", a / b; else if (a > 0) printf "∞ (shell 0)"; else printf "–" }'
}

scan_med=$(median scan scan_10000_channels_ms_median)
scan_max=$(median scan scan_10000_channels_ms_max)
scan_cpu=$(median scan scan_10000_channels_cpu_ms_median)
rewrites=$(median scan scan_file_rewrites)
rows_start=$(median rows window_start_ms)
rows_rss=$(median rows window_rss_kb_total)
rows_anon=$(median rows window_rss_anon_kb)
rows_file=$(median rows window_rss_file_kb)
rows_read=$(median rows window_rss_kb_after_first_read)
reload_ms=$(median steps reload_5000_queued_ms_median)
snapshot_ms=$(median steps snapshot_5000_queued_ms_median)
pauseall_ms=$(median steps pause_all_5000_queued_ms_median)
runall_ms=$(median steps run_all_5000_ms_median)
tick_med=$(median gui supervise_tick_us_median)
tick_max=$(median gui supervise_tick_us_max)
cpu=$(median gui camrelay_cpu_percent_of_one_core)
rss=$(median gui camrelay_rss_kb_per_channel)
rss_total=$(median gui camrelay_rss_kb_total)
web_tick=$(median gui web_load_tick_us_median)
web_tick_max=$(median gui web_load_tick_us_max)
web_rate=$(median gui web_load_answers_per_second)
first=$(median gui bitrate_delay_ms_first_reading_median)
steady=$(median gui bitrate_age_ms_steady_median)
one_cpu=$(median one shell_one_cpu_percent_of_one_core)
one_rss=$(median one shell_one_rss_kb_per_channel)
one_total=$(median one shell_one_rss_kb_total)
each_cpu=$(median each shell_each_cpu_percent_of_one_core)
each_rss=$(median each shell_each_rss_kb_per_channel)
each_total=$(median each shell_each_rss_kb_total)
each_pss=$(median each shell_each_pss_kb_total)
standin_cpu=$(median standin standin_cpu_percent_of_one_core)
relay_cpu=$(median standin copy_relay_cpu_percent_of_one_core)

cat <<EOF
| Figure (median of $runs run$([ "$runs" = 1 ] || echo s)) | CamRelay | Shell floor: one \`wait -n\` loop | CamRelay ÷ floor | 50 bash \`while\` loops | Target |
|---|--:|--:|--:|--:|---|
| Start-up scan of 10,000 stored channels, 4,999 renumbered, from a cold heap, median (ms) | $(fmt "$scan_med" 1) | | | | < 300 ms |
| Start-up scan of 10,000 stored channels, max (ms) | $(fmt "$scan_max" 1) | | | | |
| Start-up scan of 10,000 stored channels, CPU time, median (ms) | $(fmt "$scan_cpu" 1) | | | | |
| Start-up scan, config.ini rewrites | $(fmt "$rewrites" 0) | | | | 1 |
| Window opening with 10,000 rows (5,000 renumbered), to first paint (ms) | $(fmt "$rows_start" 0) | | | | |
| Reload of 5,000 queued channels, owner thread, median (ms) | $(fmt "$reload_ms" 1) | | | | < 50 ms |
| Status snapshot of 5,000 queued channels, median (ms) | $(fmt "$snapshot_ms" 2) | | | | < 50 ms |
| "全部暂停" of 5,000 queued channels, median (ms) | $(fmt "$pauseall_ms" 1) | | | | < 50 ms |
| "全部运行" of 5,000 channels, median (ms) | $(fmt "$runall_ms" 1) | | | | < 50 ms |
| Resident memory, window with 10,000 idle rows (MB) | $(fmt "$rows_rss / 1024" 1) ($(fmt "$rows_anon / 1024" 1) heap, $(fmt "$rows_file / 1024" 1) libraries) | | | | < 60 MB |
| Resident memory, same window after the first read of a setting (MB) | $(fmt "$rows_read / 1024" 1) | | | | |
| Supervision tick with the watchdog, 50 running children, median (µs of GUI thread) | $(fmt "$tick_med" 0) | | | | < 1,000 µs |
| Supervision tick with the watchdog, 50 running children, max (µs of GUI thread) | $(fmt "$tick_max" 0) | | | | |
| Same tick with the status endpoint on while 400 clients fetch the page and /status and 100 slow ones hold half a request (500 connections), median (µs) | $(fmt "$web_tick" 0) | | | | < 1,000 µs |
| Same tick under that load, max (µs) | $(fmt "$web_tick_max" 0) | | | | |
| Page and /status answers per second during that load | $(fmt "$web_rate" 0) | | | | |
| Own CPU, 50 running channels (% of one core) | $(fmt "$cpu" 2) | $(fmt "$one_cpu" 3) | $(ratio "$cpu" "$one_cpu") | $(fmt "$each_cpu" 3) | < 1 % |
| Own resident memory per running channel (KB) | $(fmt "$rss" 1) | $(fmt "$one_rss" 1) | $(ratio "$rss" "$one_rss") | $(fmt "$each_rss" 0) ($(fmt "$each_pss / 50" 0) Pss) | < 200 KB |
| Own resident memory in all, 50 running channels (MB) | $(fmt "$rss_total / 1024" 1) | $(fmt "$one_total / 1024" 1) | $(ratio "$rss_total" "$one_total") | $(fmt "$each_total / 1024" 1) ($(fmt "$each_pss / 1024" 1) Pss) | |
| Status line to bitrate cell, first reading (ms) | $(fmt "$first" 0) | | | | |
| Status line to bitrate cell, steady-state age (ms) | $(fmt "$steady" 0) | | | | 1,500–2,000 by design |

| ffmpeg's own CPU over 20 s, median of $runs run$([ "$runs" = 1 ] || echo s) (% of one core) | Stand-in picture 640x360 25 fps | Copy relay of the camera simulator |
|---|--:|--:|
| One channel | $(fmt "$standin_cpu" 2) | $(fmt "$relay_cpu" 2) |
EOF

if [ -n "$scale_counts" ]; then
    say "real copy relays under the headless service, N = $scale_counts"
    echo
    bash "$root/scripts/scale.sh" --counts "$scale_counts" --build-dir "$build"
fi
if [ "$recovery" = 1 ]; then
    say "100 copy channels coming up and back, 快速重启 and 启动间隔 off and on"
    echo
    bash "$root/scripts/recovery.sh" --build-dir "$build"
fi
