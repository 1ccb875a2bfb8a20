#!/usr/bin/env bash
# Real relays at scale: one live test source published to a private nginx-rtmp on 127.0.0.1, and
# N copy channels run by the headless service, each pulling it and publishing it back under its
# own name, for each N given. Per N: the time until /status shows all N live, then over a steady
# window: CamRelay's own CPU and resident memory, the CPU and memory of its ffmpeg children per
# channel, nginx's and the source's CPU, the supervision tick (uprobes on SuperviseTick through
# perf, when this machine allows them), whether two of the outputs arrive in real time, the load
# average and how busy the whole machine was.
# Prints a Markdown table on standard output; progress goes to standard error.
#   scale.sh [--counts "25 50 100 200"] [--window SECONDS] [--build-dir DIR]
# Everything it starts (servers, CamRelay, its children, the probes) is stopped on exit, also on
# failure or interruption.
set -uo pipefail   # no -e: the server helpers expect failing kills of ended groups
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build=$root/build
counts="25 50 100 200"
window=40
while [ $# -gt 0 ]; do
    case $1 in
        --counts) counts=$2; shift 2 ;;
        --window) window=$2; shift 2 ;;
        --build-dir) build=$(realpath -m "$2"); shift 2 ;;
        *) echo "usage: scale.sh [--counts \"25 50 100 200\"] [--window SECONDS] [--build-dir DIR]" >&2; exit 2 ;;
    esac
done
# shellcheck source=lib-servers.sh
source "$root/scripts/lib-servers.sh"

say() { echo "scale: $*" >&2; }

bash "$root/scripts/build.sh" --dir "$build" --what "CamRelay" CamRelay >&2 || exit 1
bin=$build/bin/CamRelay
hz=$(getconf CLK_TCK)
work=$(mktemp -d /tmp/camrelay-scale.XXXXXX)
ticks_probed=0
cleanup() {
    stop_servers
    # The children die with CamRelay (parent-death signal); these are only the ones left anyway.
    local pid
    while read -r pid; do
        kill -KILL "$pid" 2>/dev/null
    done < <(cat "$work/children" 2>/dev/null)
    [ "$ticks_probed" = 0 ] || perf probe -q -d 'probe_CamRelay:scale_tick*' 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# user+sys clock ticks of the given pids (ended ones count 0).
cpu_ticks() {
    local pid sum=0 stat
    for pid in "$@"; do
        stat=$(cat "/proc/$pid/stat" 2>/dev/null) || continue
        stat=${stat##*) }   # the fields after the command name, which may hold blanks
        read -r -a f <<<"$stat"
        sum=$((sum + f[11] + f[12]))
    done
    echo "$sum"
}
rss_kb() { awk '$1 == "VmRSS:" { print $2 }' "/proc/$1/status" 2>/dev/null; }
# Proportional set size: shared library pages split among the processes that map them.
pss_kb() { awk '$1 == "Pss:" { print $2 }' "/proc/$1/smaps_rollup" 2>/dev/null; }
# busy, total and softirq jiffies of the whole machine (time taken by the hypervisor counts as
# busy; softirq is mostly the kernel moving packets over the loopback).
machine_ticks() { awk '$1 == "cpu" { print $2 + $3 + $4 + $7 + $8 + $9, $2 + $3 + $4 + $5 + $6 + $7 + $8 + $9, $8 }' /proc/stat; }
# speed URL: how fast a live stream arrives, in seconds of stream per second, over the last
# 14 s of a 20 s read (the first 6 s hold the server's catch-up burst): 1.00 in real time, below
# 1 when the relay publishing it falls behind.
speed() {
    timeout -k 2 40 ffmpeg -nostdin -v error -progress pipe:1 -i "$1" -t 20 -c copy -f null - 2>/dev/null |
        while IFS='=' read -r key value; do
            [ "$key" = out_time_us ] && echo "$(date +%s.%N) $value"
        done | awk 'NR == 1 { t0 = $1 } $1 - t0 >= 6 && a == "" { a = $1; x = $2 } { b = $1; y = $2 }
            END { if (a != "" && b > a) printf "%.2f", (y - x) / 1e6 / (b - a); else print "n/a" }'
}
loadavg() { cut -d' ' -f1 /proc/loadavg; }
children_of() { cat /proc/"$1"/task/*/children 2>/dev/null | tr ' ' '\n' | grep -v '^$'; }
# How many channels /status shows live, and the sum of their restarts.
status_counts() {
    curl -s --max-time 5 "http://127.0.0.1:$1/status" |
        jq -r '[([.channels[] | select(.state == "live")] | length), ([.channels[].restarts_total] | add // 0)] | @tsv' 2>/dev/null
}

# The supervision tick is timed inside the running service by two uprobes (entry and return of
# RelayEngine::SuperviseTick); without perf or tracefs the column says so.
# perf reads "::" as a line number: the probes name the function by its mangled symbol.
tick_symbol=$(nm "$bin" 2>/dev/null | awk '$3 ~ /^_ZN11RelayEngine13SuperviseTickEv$/ { print $3 }')
if command -v perf >/dev/null && [ -n "$tick_symbol" ] &&
    perf probe -q -x "$bin" --no-demangle --add "scale_tick_in=$tick_symbol" 2>/dev/null; then
    ticks_probed=1
    perf probe -q -x "$bin" --no-demangle --add "scale_tick_out=$tick_symbol%return" 2>/dev/null || ticks_probed=0
fi
[ "$ticks_probed" = 1 ] || say "perf uprobes unavailable (perf, tracefs and root are needed): the tick is not measured"

start_nginx_rtmp "$work/nginx" "$(free_port)" || exit 1
start_test_source "$work/source.log" "$NGINX_URL/src" || exit 1
probe_until_video "$NGINX_URL/src" 20 >/dev/null || { say "the test source shows no video"; exit 1; }
nginx_pid=$NGINX_PID source_pid=$SOURCE_PID

# run_one N: one headless service with N copy channels; prints one table row.
run_one() {
    local n=$1 dir=$work/run$1 port i t0 live=0 elapsed pid kids
    mkdir -p "$dir"
    {
        printf '[SET DEFAULT VALUE]\nnextId=%d\nm_bRTSPuseTCP=1\n' "$n"
        for ((i = 0; i < n; i++)); do
            # A copy channel: video on, not re-encoded; audio on, not re-encoded.
            printf '%d+Name=scale%d\n%d+SignalName=%s/src\n%d+Adress=%s/scale%d\n' "$i" "$i" "$i" "$NGINX_URL" "$i" "$NGINX_URL" "$i"
            printf '%d+checkstate=1\n%d+checkstate1=0\n%d+checkstate2=0\n%d+checkstate3=1\n%d+checkstate4=0\n' "$i" "$i" "$i" "$i" "$i"
            printf '%d+VdTransCode=否\n%d+strAVState=运行中\n' "$i" "$i"
        done
    } >"$dir/config.ini"
    port=$(free_port)
    local load0 ; load0=$(loadavg)
    t0=$(date +%s.%N)
    spawn_server "$dir/stderr.log" "$bin" --headless --dir "$dir" --status-port "$port"
    pid=$SPAWNED_PID
    # The service starts one channel a second; a viewer of a live stream waits for a keyframe.
    local deadline=$((SECONDS + n + 90))
    while [ "$SECONDS" -lt "$deadline" ] && kill -0 "$pid" 2>/dev/null; do
        read -r live _ < <(status_counts "$port") || true
        [ "${live:-0}" -ge "$n" ] && break
        sleep 0.5
    done
    elapsed=$(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
    if [ "${live:-0}" -lt "$n" ]; then
        say "N=$n: only ${live:-0} of $n live after $elapsed s"
        elapsed=">$elapsed"
    else
        say "N=$n: all live after $elapsed s; measuring for $window s"
    fi
    mapfile -t kids < <(children_of "$pid")
    printf '%s\n' "${kids[@]}" >>"$work/children"
    local c0 k0 g0 s0 m0 w0 q0
    c0=$(cpu_ticks "$pid") k0=$(cpu_ticks "${kids[@]}") g0=$(cpu_ticks "$nginx_pid") s0=$(cpu_ticks "$source_pid")
    read -r m0 w0 q0 < <(machine_ticks)
    # Two viewers of the outputs, of the first channel started and of the last, meanwhile.
    speed "$NGINX_URL/scale0" >"$dir/speed.first" &
    local first=$!
    speed "$NGINX_URL/scale$((n - 1))" >"$dir/speed.last" &
    local last=$!
    local t1 ; t1=$(date +%s.%N)
    local tickdata=$dir/tick.data
    if [ "$ticks_probed" = 1 ]; then
        perf record -q -o "$tickdata" -e probe_CamRelay:scale_tick_in -e probe_CamRelay:scale_tick_out__return \
            -p "$pid" -- sleep "$window" >/dev/null 2>&1
    else
        sleep "$window"
    fi
    local c1 k1 g1 s1 m1 w1 q1
    c1=$(cpu_ticks "$pid") k1=$(cpu_ticks "${kids[@]}") g1=$(cpu_ticks "$nginx_pid") s1=$(cpu_ticks "$source_pid")
    read -r m1 w1 q1 < <(machine_ticks)
    wait "$first" "$last"
    local t2 ; t2=$(date +%s.%N)
    local rss kid_rss=0 kid_pss=0 kid_n=0 r q
    rss=$(rss_kb "$pid")
    for i in "${kids[@]}"; do
        r=$(rss_kb "$i") q=$(pss_kb "$i")
        [ -n "$r" ] && [ -n "$q" ] && kid_rss=$((kid_rss + r)) kid_pss=$((kid_pss + q)) kid_n=$((kid_n + 1))
    done
    local live_end restarts_end load1
    read -r live_end restarts_end < <(status_counts "$port") || true
    load1=$(loadavg)
    local ticks="n/a"
    if [ "$ticks_probed" = 1 ] && [ -s "$tickdata" ]; then
        # Pairs of entry and return times, in µs: the median and the largest.
        ticks=$(perf script -i "$tickdata" -F time,event 2>/dev/null | awk '
            { t = $1; sub(":", "", t) }
            /scale_tick_in/ { start = t }
            /scale_tick_out/ && start != "" { printf "%.1f\n", (t - start) * 1e6; start = "" }' | sort -g |
            awk '{ d[++n] = $1 } END { if (n) printf "%.0f / %.0f (%d ticks)", d[int((n + 1) / 2)], d[n], n; else print "n/a" }')
    fi
    stop_group "$pid" 20
    local kept=() other
    for other in "${SERVER_PIDS[@]}"; do
        [ "$other" = "$pid" ] || kept+=("$other")
    done
    SERVER_PIDS=("${kept[@]}")
    awk -v n="$n" -v el="$elapsed" -v hz="$hz" -v dt="$(awk -v a="$t1" -v b="$t2" 'BEGIN { print b - a }')" \
        -v c="$((c1 - c0))" -v k="$((k1 - k0))" -v g="$((g1 - g0))" -v s="$((s1 - s0))" \
        -v busy="$((m1 - m0))" -v all="$((w1 - w0))" -v soft="$((q1 - q0))" -v sp="$(cat "$dir/speed.first") / $(cat "$dir/speed.last")" -v rss="${rss:-0}" -v krss="$kid_rss" -v kpss="$kid_pss" -v kn="$kid_n" \
        -v live="${live_end:-0}" -v rs="$((${restarts_end:-0}))" -v ticks="$ticks" -v l0="$load0" -v l1="$load1" 'BEGIN {
        pct = 100 / hz / dt
        printf "| %d | %s | %d/%d | %s | %.2f | %.1f | %.2f | %.1f | %.0f (%.1f Pss) | %.1f | %.1f | %s | %s → %s | %.0f (%.0f softirq) |\n",
            n, el, live, n, sp, c * pct, rss / 1024, k * pct / n, k * pct, (kn ? krss / kn / 1024 : 0), (kn ? kpss / kn / 1024 : 0),
            g * pct, s * pct, ticks, l0, l1, 100 * busy / all, 100 * soft / all
        if (rs > 0) printf "restarts during the run: %d\n", rs > "/dev/stderr"
    }'
}

echo "| N | Time to all live (s) | Live at the end | Output speed, first / last channel | CamRelay CPU (% of one core) | CamRelay RSS (MB) | ffmpeg CPU per channel (% of one core) | ffmpeg CPU, all (% of one core) | ffmpeg RSS per channel (MB) | nginx CPU (%) | Source encoder CPU (%) | Supervision tick median / max (µs) | Load average (1 min) start → end | Machine busy (% of $(nproc) cores) |"
echo "|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|"
for n in $counts; do
    say "N=$n: starting $n copy channels (one a second)"
    run_one "$n"
done
echo
echo "Machine: $(nproc) cores, $(awk '$1 == "MemTotal:" { printf "%.0f GB", $2 / 1048576 }' /proc/meminfo); ffmpeg $(ffmpeg -version | head -n1 | cut -d' ' -f3); window $window s per N after all were live."
