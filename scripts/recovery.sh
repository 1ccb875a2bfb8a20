#!/usr/bin/env bash
# How fast the headless service brings channels up and back, with 快速重启 and 启动间隔 off (the
# stored file says nothing: each pacing is its own) and on (m_bFastRestart=1, startInterval=0.1).
# One live test source published to a private nginx-rtmp on 127.0.0.1; N copy channels pull it
# and publish it back under their own names. Per setting: the time from the service's start until
# /status shows all N live; then, ten times, kill -9 of channel 0's ffmpeg and the time until
# /status shows channel 0 live again with a new child (its first rate, about half a second of
# output published). Prints a Markdown table of medians on standard output; progress goes to
# standard error. Everything it starts is stopped on exit, also on failure or interruption.
#   recovery.sh [--count N] [--kills K] [--build-dir DIR]
set -uo pipefail   # no -e: the server helpers expect failing kills of ended groups
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build=$root/build
count=100
kills=10
while [ $# -gt 0 ]; do
    case $1 in
        --count) count=$2; shift 2 ;;
        --kills) kills=$2; shift 2 ;;
        --build-dir) build=$(realpath -m "$2"); shift 2 ;;
        *) echo "usage: recovery.sh [--count N] [--kills K] [--build-dir DIR]" >&2; exit 2 ;;
    esac
done
# shellcheck source=lib-servers.sh
source "$root/scripts/lib-servers.sh"
say() { echo "recovery: $*" >&2; }

bash "$root/scripts/build.sh" --dir "$build" --what "CamRelay" CamRelay >&2 || exit 1
bin=$build/bin/CamRelay
work=$(mktemp -d /tmp/camrelay-recovery.XXXXXX)
trap 'stop_servers; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM HUP

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f\n", b - a }'; }
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "n/a"; else if (NR % 2) print v[(NR + 1) / 2]; else printf "%.2f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
status() { curl -s --max-time 5 "http://127.0.0.1:$1/status"; }
live_count() { status "$1" | jq -r '[.channels[] | select(.state == "live")] | length' 2>/dev/null; }
# "live <live_since>" of channel 0, or its state.
first_channel() { status "$1" | jq -r '.channels[0] | if .state == "live" then "live " + .live_since else .state end' 2>/dev/null; }

start_nginx_rtmp "$work/nginx" "$(free_port)" || exit 1
start_test_source "$work/source.log" "$NGINX_URL/src" || exit 1
probe_until_video "$NGINX_URL/src" 20 >/dev/null || { say "the test source shows no video"; exit 1; }

# run_one LABEL SWITCHES: one service with $count copy channels; prints one table row.
run_one() {
    local label=$1 switches=$2 dir=$work/$1 port pid t0 up i live before after
    mkdir -p "$dir"
    {
        printf '[SET DEFAULT VALUE]\nnextId=%d\nm_bRTSPuseTCP=1\n%s' "$count" "$switches"
        for ((i = 0; i < count; i++)); do
            printf '%d+Name=r%d\n%d+SignalName=%s/src\n%d+Adress=%s/r%d\n' "$i" "$i" "$i" "$NGINX_URL" "$i" "$NGINX_URL" "$i"
            printf '%d+checkstate=1\n%d+checkstate3=1\n%d+VdTransCode=否\n%d+strAVState=运行中\n' "$i" "$i" "$i" "$i"
        done
    } >"$dir/config.ini"
    port=$(free_port)
    t0=$(now)
    spawn_server "$dir/stderr.log" "$bin" --headless --dir "$dir" --status-port "$port"
    pid=$SPAWNED_PID
    local deadline=$((SECONDS + 2 * count + 120))
    live=0
    while [ "$SECONDS" -lt "$deadline" ] && [ "${live:-0}" -lt "$count" ]; do
        sleep 0.2
        live=$(live_count "$port")
    done
    up=$(since "$t0")
    [ "${live:-0}" -ge "$count" ] || up=">$up"
    say "$label: $live of $count live after $up s"
    : >"$dir/republish"
    for ((i = 0; i < kills; i++)); do
        before=$(first_channel "$port")
        [ "${before%% *}" = live ] || { sleep 1; continue; }
        sleep 1   # a second apart: live_since has whole seconds
        t0=$(now)
        pkill -KILL -f -- "$NGINX_URL/r0\$" || { say "no child of channel 0"; continue; }
        deadline=$((SECONDS + 60))
        while [ "$SECONDS" -lt "$deadline" ]; do
            after=$(first_channel "$port")
            [ "${after%% *}" = live ] && [ "$after" != "$before" ] && break
            sleep 0.05
        done
        since "$t0" >>"$dir/republish"
        say "$label: kill $((i + 1)): live again after $(tail -1 "$dir/republish") s"
        sleep 3
    done
    printf '| %s | %d | %s | %s | %s |\n' "$label" "$count" "$up" "$(median <"$dir/republish")" \
        "$(sort -g "$dir/republish" | tr '\n' ' ')"
    stop_group "$pid" 10
}

printf '| setting | channels | all live after (s) | live again after kill -9, median (s) | each kill (s) |\n'
printf '| --- | ---: | ---: | ---: | --- |\n'
run_one "both off" ""
run_one "快速重启, 启动间隔 0.1 s" $'m_bFastRestart=1\nstartInterval=0.1\n'
