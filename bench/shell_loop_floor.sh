#!/usr/bin/env bash
# The cheapest possible supervisor of the children gui_supervise_bench runs: plain bash restart
# loops over the same fake transcoder with the same options. Measures only the loops' own CPU
# time and resident memory through /proc (children excluded) and prints "name: value" lines.
#   shell_loop_floor.sh FAKE_FFMPEG [one|each] [CHANNELS] [WINDOW_SECONDS]
#     one   one bash process starts every child and restarts whichever ends (wait -n -p)
#     each  one `while true; do ffmpeg ...; sleep 5; done` subshell per channel
# Everything it starts lives in one process group, killed on every exit path.
set -euo pipefail

fake=$(readlink -f "${1:?usage: shell_loop_floor.sh FAKE_FFMPEG [one|each] [CHANNELS] [WINDOW_SECONDS]}")
mode=${2:-one}
channels=${3:-50}
window=${4:-10}
warmup=3
[ -x "$fake" ] || { echo "not executable: $fake" >&2; exit 2; }
case $mode in one|each) ;; *) echo "mode must be one or each" >&2; exit 2 ;; esac

work=$(mktemp -d /tmp/camrelay-shell-floor-XXXXXX)
group=""
cleanup() {
    if [ -n "$group" ]; then
        kill -KILL -- "-$group" 2>/dev/null || true
        { wait "$group"; } 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# ffmpeg beside the "application", as CamRelay finds it.
ln -s "$fake" "$work/ffmpeg"

# One child's command: the argument shape of a copy channel, output thrown away (a shell loop
# shows no bitrate, so the floor does not read the pipe).
cat > "$work/child.sh" <<'EOF'
# Sets argv to channel $1's command line.
command_of() {
    argv=("$app/ffmpeg" -i "rtsp://127.0.0.1:1/cam$1" -vcodec copy -acodec copy -f flv
          "rtmp://127.0.0.1:1/live/o$1#interval=500,kbps=clock,banner=0")
}
# Resident kilobytes of this shell, read with builtins only (no fork disturbs the figure).
own_rss() {
    local key value rest
    while read -r key value rest; do
        [[ $key == VmRSS: ]] && { echo "$value"; return; }
    done < "/proc/$BASHPID/status"
}
EOF

if [ "$mode" = one ]; then
    cat > "$work/supervise.sh" <<'EOF'
app=$1; n=$2
. "$app/child.sh"
declare -A channelOf
own_rss > "$app/base"
for ((i = 0; i < n; i++)); do
    command_of "$i"
    "${argv[@]}" </dev/null >/dev/null 2>&1 & channelOf[$!]=$i
done
: > "$app/started"
while :; do
    ended=""
    wait -n -p ended
    [ -n "$ended" ] || { sleep 5; continue; }
    i=${channelOf[$ended]}
    unset "channelOf[$ended]"
    # Restart five seconds later without blocking the other channels.
    command_of "$i"
    { sleep 5; exec "${argv[@]}" </dev/null >/dev/null 2>&1; } & channelOf[$!]=$i
done
EOF
else
    cat > "$work/supervise.sh" <<'EOF'
app=$1; n=$2
. "$app/child.sh"
own_rss > "$app/base"
for ((i = 0; i < n; i++)); do
    command_of "$i"
    ( while true; do "${argv[@]}" </dev/null >/dev/null 2>&1; sleep 5; done ) &
done
: > "$app/started"
wait
EOF
fi

# setsid from a non-interactive shell runs in place, so the pid is also the group id.
setsid bash "$work/supervise.sh" "$work" "$channels" &
group=$!

for _ in $(seq 100); do
    [ -e "$work/started" ] && break
    sleep 0.05
done
[ -e "$work/started" ] || { echo "supervisor did not start" >&2; exit 1; }
read -r line < "/proc/$group/stat"
read -r -a fields <<< "${line##*) }"
[ "${fields[2]}" = "$group" ] || { echo "supervisor is not a group leader" >&2; exit 1; }
sleep "$warmup"

# Processes of the group by command name: "bash" (the supervisor, with any subshell waiting to
# restart a child) and "ffmpeg" (the children).
# Prints "pid comm cpu_ns utime+stime_ticks rss_kb pss_kb" for each bash process; counts the
# children. Pss shares each page among the processes mapping it, so it shows what forked
# subshells really add where VmRSS counts their copy-on-write pages once per process.
snapshot() {
    local stat line rest fields pid comm sched rss pss key value
    children=0
    for stat in /proc/[0-9]*/stat; do
        read -r line 2>/dev/null < "$stat" || continue
        pid=${line%% *}
        comm=${line#*(}; comm=${comm%%)*}
        rest=${line##*) }
        read -r -a fields <<< "$rest"
        [ "${fields[2]}" = "$group" ] || continue
        if [ "$comm" = ffmpeg ]; then
            children=$((children + 1))
        elif [ "$comm" = bash ]; then
            read -r sched _ 2>/dev/null < "/proc/$pid/schedstat" || continue
            rss=0 pss=0
            while read -r key value _; do
                [[ $key == VmRSS: ]] && rss=$value
            done 2>/dev/null < "/proc/$pid/status" || true
            while read -r key value _; do
                [[ $key == Pss: ]] && pss=$value
            done 2>/dev/null < "/proc/$pid/smaps_rollup" || true
            echo "$pid $comm $sched $((fields[11] + fields[12])) $rss $pss"
        fi
    done
}

snapshot > "$work/before"
t0=$(date +%s%N)
sleep "$window"
snapshot > "$work/after"  # in this shell, so that $children is kept
t1=$(date +%s%N)
base=$(cat "$work/base")

# CPU from the nanosecond run time (/proc/PID/schedstat); the clock-tick figure from
# /proc/PID/stat is printed beside it, at 10 ms resolution.
awk -v mode="$mode" -v n="$channels" -v wall_ns=$((t1 - t0)) -v base="$base" -v children="$children" '
    FNR == NR { ns[$1] = $3; ticks[$1] = $4; next }
    ($1 in ns) { cpu += $3 - ns[$1]; tk += $4 - ticks[$1]; procs++; rss += $5; pss += $6 }
    END {
        # Per channel: what the supervisor grew by from its size before the first child (in
        # "each" mode that is mostly the loop subshells themselves), shared by n channels.
        printf "shell_%s_processes: %d\n", mode, procs
        printf "shell_%s_children_running: %d\n", mode, children
        printf "shell_%s_cpu_percent_of_one_core: %.4f\n", mode, 100.0 * cpu / wall_ns
        printf "shell_%s_cpu_ticks_in_window: %d\n", mode, tk
        printf "shell_%s_rss_kb_total: %d\n", mode, rss
        printf "shell_%s_rss_kb_per_channel: %.1f\n", mode, (rss - base) / n
        printf "shell_%s_pss_kb_total: %d\n", mode, pss
    }' "$work/before" "$work/after"
