#!/usr/bin/env bash
# Measures the CPU that one relay child (ffmpeg, as CamRelay starts it) costs, for sizing a
# server: a copy channel and a re-encoded channel at 320x240, 640x360 and 1280x720. A private
# nginx-rtmp on 127.0.0.1 carries a live test source per size; each relay pulls it and publishes
# it back for SECONDS seconds (default 30) after a 5 s warm-up. Prints a Markdown table:
# user+sys CPU seconds per wall second of the relay alone (100 % = one core) and the frames it
# handled per second (25 when it keeps up with the source).
#   sizing.sh [SECONDS]
set -uo pipefail   # no -e: the server helpers expect failing kills of ended groups
seconds=${1:-30}
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=lib-servers.sh
source "$root/scripts/lib-servers.sh"

make_work_dir sizing || exit 1
work=$WORK_DIR

port=$(free_port)
start_nginx_rtmp "$work/nginx" "$port" || exit 1
url=$NGINX_URL
hz=$(getconf CLK_TCK)

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
frames() { grep -a '^frame=' "$1" | tail -n 1 | cut -d= -f2; }

# measure NAME ARGS...: runs one relay child and prints "cpu_percent fps".
measure() {
    local name=$1 progress="$work/$1.progress"
    shift
    spawn_server "$work/$name.log" ffmpeg -hide_banner -nostdin -progress "$progress" "$@"
    local pid=$SPAWNED_PID
    sleep 5
    local t0 c0 f0 t1 c1 f1
    t0=$(date +%s.%N) c0=$(cpu_ticks "$pid") f0=$(frames "$progress")
    sleep "$seconds"
    t1=$(date +%s.%N) c1=$(cpu_ticks "$pid") f1=$(frames "$progress")
    stop_group "$pid" 1
    awk -v c="$((c1 - c0))" -v hz="$hz" -v t0="$t0" -v t1="$t1" -v f="$((f1 - f0))" \
        'BEGIN { printf "%.1f %.1f\n", 100 * c / hz / (t1 - t0), f / (t1 - t0) }'
}

echo "| Source | Copy channel: CPU (% of one core) | Copy: fps | Re-encoded channel: CPU (% of one core) | Re-encoded: fps | Re-encode bitrate |"
echo "|---|--:|--:|--:|--:|--:|"
for row in 320x240:300 640x360:800 1280x720:2000; do
    size=${row%%:*} kbps=${row##*:}
    # The camera: live H.264 Main + AAC at 25 fps, keyframe every 2 s, as IP cameras send.
    spawn_server "$work/src-$size.log" ffmpeg -hide_banner -nostdin -re -f lavfi -i "testsrc2=size=$size:rate=25" \
        -f lavfi -i "sine=frequency=440:sample_rate=44100" -c:v libx264 -preset veryfast -tune zerolatency \
        -profile:v main -pix_fmt yuv420p -g 50 -b:v "${kbps}k" -c:a aac -b:a 64k -f flv "$url/src$size"
    src=$SPAWNED_PID
    sleep 3
    # The argument lines CamRelay builds for a copy channel and a re-encoded one (same size).
    read -r copy_cpu copy_fps < <(measure "copy-$size" -i "$url/src$size" -vcodec copy -acodec copy -f flv "$url/copy$size")
    read -r enc_cpu enc_fps < <(measure "enc-$size" -i "$url/src$size" -vcodec libx264 -acodec aac -ac 2 -ar 44100 \
        -b:a 64k -s "${size/x/*}" -b:v "${kbps}k" -r 25 -vprofile main -f flv "$url/enc$size")
    stop_group "$src" 1
    echo "| $size | $copy_cpu | $copy_fps | $enc_cpu | $enc_fps | ${kbps} kbit/s |"
done
echo
echo "Machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at the end; ffmpeg $(ffmpeg -version | head -n1 | cut -d' ' -f3)."
