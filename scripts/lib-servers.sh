# shellcheck shell=bash disable=SC2034
# Shell helpers for the local test servers, test media and stream probes: the one place for them,
# sourced by demo.sh, sizing.sh and (through a child bash) the C++ end-to-end tests.
# Everything listens on 127.0.0.1 only. Each server runs in its own session and process group
# and gets SIGKILL when the shell that started it dies, so even a killed script leaves nothing
# serving. Functions print errors to stderr and return non-zero on failure.

CAMRELAY_SCRIPTS_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
NGINX_RTMP_MODULE=/usr/lib/nginx/modules/ngx_rtmp_module.so
SERVER_PIDS=()
# The test picture and tone, and the H.264 (High, keyframe every 2 s) + AAC encoding of them.
TEST_AV_INPUT=(-f lavfi -i testsrc=size=640x360:rate=25 -f lavfi -i sine=frequency=440:sample_rate=44100)
TEST_AV_CODECS=(-c:v libx264 -preset veryfast -pix_fmt yuv420p -g 50 -c:a aac)

# A TCP port on 127.0.0.1 that was free a moment ago.
free_port() {
    /usr/bin/python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}

# port_accepts PORT: true when something accepts TCP connections on 127.0.0.1:PORT.
port_accepts() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# spawn_server LOGFILE CMD...: runs CMD in the background as a group leader that dies with this
# shell; its pid goes to SPAWNED_PID and SERVER_PIDS (for stop_servers). Standard input is /dev/null; descriptor 9 (the demo's lock)
# is not passed on. Never call the start functions inside $(...): the server would die with that
# subshell.
spawn_server() {
    local log=$1
    shift
    # In a script (no job control) the background child is no group leader, so setsid does
    # not fork and $! is the server itself.
    setsid setpriv --pdeathsig KILL "$@" </dev/null >>"$log" 2>&1 9>&- &
    SPAWNED_PID=$!
    SERVER_PIDS+=("$SPAWNED_PID")
}

# still_running SECONDS LOGFILE WHAT: true when the server just spawned still runs after
# SECONDS; otherwise says so, with the end of its log.
still_running() {
    sleep "$1"
    kill -0 "$SPAWNED_PID" 2>/dev/null && return 0
    echo "$3 ended at once:" >&2
    tail -n 5 "$2" >&2
    return 1
}

# stop_group PID [GRACE_SECONDS]: SIGTERM to the process group, SIGKILL to whatever is left
# after the grace time (default 3 s), then reap it if it is our child.
stop_group() {
    local pid=$1 grace=${2:-3} i
    [ -n "$pid" ] || return 0
    kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null || return 0
    for ((i = 0; i < grace * 20; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        # A reaped-or-zombie leader no longer counts as running.
        [ "$(ps -o stat= -p "$pid" 2>/dev/null | cut -c1)" = "Z" ] && break
        sleep 0.05
    done
    # Under set -e a group already gone must not end the caller (an EXIT trap would then leave
    # the remaining servers running).
    kill -KILL -- "-$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    return 0
}

# make_work_dir NAME: a fresh folder /tmp/camrelay-NAME.XXXXXX in WORK_DIR, and an EXIT trap that
# stops every server this shell spawned and removes the folder. Call it from the script itself,
# never inside $(...).
make_work_dir() {
    WORK_DIR=$(mktemp -d "/tmp/camrelay-$1.XXXXXX") || return 1
    trap 'stop_servers; rm -rf "$WORK_DIR"' EXIT
}

# stop_servers: stop_group for every server this shell spawned.
stop_servers() {
    local pid
    for pid in "${SERVER_PIDS[@]}"; do
        stop_group "$pid"
    done
    SERVER_PIDS=()
}

# start_nginx_rtmp DIR PORT [DENY_PORT]: a private nginx-rtmp ("live" application) with its config, pid
# and logs in DIR. With DENY_PORT, its "deny" application refuses every publish: its on_publish
# asks nginx itself on 127.0.0.1:DENY_PORT, which answers 403. One process (master_process off), so killing it leaves no worker serving.
# Its 1024 connections carry scale.sh's 200 channels (a viewer and a publisher each).
# Sets NGINX_PID and NGINX_URL (rtmp://127.0.0.1:PORT/live) once the port accepts connections.
start_nginx_rtmp() {
    local dir=$1 port=$2 pid i deny_http= deny_app=
    mkdir -p "$dir" || return 1
    if [ -n "${3:-}" ]; then
        deny_http="http { access_log off; server { listen 127.0.0.1:$3; return 403; } }"
        deny_app="application deny { live on; on_publish http://127.0.0.1:$3/; }"
    fi
    dir=$(cd "$dir" && pwd)
    if [ ! -f "$NGINX_RTMP_MODULE" ]; then
        echo "nginx RTMP module missing ($NGINX_RTMP_MODULE): run scripts/install-deps.sh --test" >&2
        return 1
    fi
    cat >"$dir/nginx.conf" <<EOF
load_module $NGINX_RTMP_MODULE;
daemon off;
master_process off;
worker_processes 1;
pid nginx.pid;
error_log error.log info;
events { worker_connections 1024; }
$deny_http
rtmp {
    access_log access.log;
    server {
        listen 127.0.0.1:$port;
        application live { live on; record off; }
        $deny_app
    }
}
EOF
    spawn_server "$dir/nginx.out" nginx -p "$dir/" -c "$dir/nginx.conf" -e "$dir/error.log"
    pid=$SPAWNED_PID
    for ((i = 0; i < 60; i++)); do
        if port_accepts "$port"; then
            NGINX_PID=$pid
            NGINX_URL=rtmp://127.0.0.1:$port/live
            return 0
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    echo "nginx-rtmp did not start on 127.0.0.1:$port; see $dir/error.log:" >&2
    tail -n 5 "$dir/error.log" "$dir/nginx.out" >&2 2>/dev/null
    stop_group "$pid" 1
    return 1
}

# start_rtsp_sim LOGFILE PORT [USER PASSWORD]: the camera simulator (/test: H.264 Main 640x360 25 fps,
# A-law 8 kHz; /h265: H.265 + AAC; /mjpeg: MJPEG 4:2:2 without audio), asking for USER and PASSWORD
# when given. Sets RTSP_PID and RTSP_URL (rtsp://127.0.0.1:PORT/test, without the account) once it
# has reported READY (~15 s at most).
start_rtsp_sim() {
    local log=$1 port=$2 pid i
    : >"$log"
    spawn_server "$log" /usr/bin/python3 "$CAMRELAY_SCRIPTS_DIR/rtsp_sim.py" "$port" "${@:3:2}"
    pid=$SPAWNED_PID
    for ((i = 0; i < 300; i++)); do
        if grep -q '^READY' "$log" 2>/dev/null; then
            RTSP_PID=$pid
            RTSP_URL=rtsp://127.0.0.1:$port/test
            return 0
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    echo "RTSP simulator did not start on 127.0.0.1:$port:" >&2
    tail -n 5 "$log" >&2
    stop_group "$pid" 1
    return 1
}

# start_test_source LOGFILE URL: ffmpeg publishing the test picture and tone, live, to URL (an
# RTMP stream). Sets SOURCE_PID once it runs (a refused connection ends it within ~0.1 s).
start_test_source() {
    spawn_server "$1" ffmpeg -nostdin -loglevel error -re "${TEST_AV_INPUT[@]}" "${TEST_AV_CODECS[@]}" \
        -tune zerolatency -f flv "$2"
    still_running 0.3 "$1" "the test source for $2" && SOURCE_PID=$SPAWNED_PID
}

# make_test_clip PATH SECONDS: a clip of the test picture and tone (H.264 High 640x360 25 fps,
# AAC 44.1 kHz mono).
make_test_clip() {
    ffmpeg -nostdin -y -loglevel error "${TEST_AV_INPUT[@]}" -t "$2" "${TEST_AV_CODECS[@]}" "$1"
}

# start_http_flv DIR PORT: ffmpeg serving a 10 s test clip (made in DIR), looped, as FLV on
# HTTP_URL (http://127.0.0.1:PORT/src.flv) to exactly one client; it ends when that client leaves.
start_http_flv() {
    make_test_clip "$1/clip.mp4" 10 || return 1
    HTTP_URL=http://127.0.0.1:$2/src.flv
    spawn_server "$1/http.log" ffmpeg -nostdin -loglevel error -re -stream_loop -1 -i "$1/clip.mp4" -c copy \
        -f flv -listen 1 "$HTTP_URL"
    # It serves one client only, so a connect probe would use it up: give it time instead.
    still_running 0.5 "$1/http.log" "the HTTP-FLV source"
}

# make_test_png PATH [COLOUR] [SIZE]: a one-colour RGBA PNG, by default 64x32 red at 60 %
# opacity. Written under a plain name first: ffmpeg reads ':' or '%' in names as protocols or
# patterns.
make_test_png() {
    local tmp
    tmp=$(mktemp --suffix=.png) || return 1
    ffmpeg -nostdin -y -loglevel error -f lavfi -i "color=c=${2:-red@0.6}:s=${3:-64x32},format=rgba" \
        -frames:v 1 "$tmp" && mv -f "$tmp" "$1" && return 0
    rm -f "$tmp"
    return 1
}

# probe_stream URL [TIMEOUT]: one bounded ffprobe; prints the video stream, then the audio one,
# e.g. "h264 640x360 Main, aac 44100 Hz 1 ch". Fails when no stream was found.
probe_stream() {
    local out
    out=$(timeout -k 2 "${2:-12}" ffprobe -v error \
        -show_entries stream=codec_type,codec_name,profile,width,height,sample_rate,channels \
        -of compact "$1" 2>/dev/null) || return 1
    awk -F'|' '{ delete f; for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] } }
        f["codec_type"] == "video" { v = f["codec_name"] " " f["width"] "x" f["height"] " " f["profile"] }
        f["codec_type"] == "audio" { a = f["codec_name"] " " f["sample_rate"] " Hz " f["channels"] " ch" }
        END { print v (v != "" && a != "" ? ", " : "") a; exit v a == "" }' <<<"$out"
}

# probe_until_video URL [SECONDS]: probe_stream of a live stream until it shows video (a new
# viewer gets video only from the next keyframe) or SECONDS (default 30) have passed. Prints the
# last probe; fails when it had no video.
probe_until_video() {
    local end=$((SECONDS + ${2:-30})) info
    while :; do
        info=$(probe_stream "$1" 10)
        if [[ $info =~ [0-9]x[0-9] ]] || [ "$SECONDS" -ge "$end" ]; then
            break
        fi
        sleep 0.5
    done
    echo "$info"
    [[ $info =~ [0-9]x[0-9] ]]
}

# ffmpeg_filter_path PATH: PATH escaped for a movie= source inside a -vf graph (the filter's
# option level first, then the graph level).
ffmpeg_filter_path() {
    printf '%s' "$1" | sed -e "s/[\\\\':]/\\\\&/g" | sed -e "s/[][\\\\',;]/\\\\&/g"
}

# measure_stream URL [SECONDS]: one bounded ffprobe that reads a live stream and prints each of
# its streams with the bitrate of its first SECONDS (default 5) of packets, e.g.
# "h264 640x360 812 kbit/s, aac 44100 Hz 64 kbit/s". A new viewer of an RTMP stream gets video
# only from the next keyframe, up to 10 s away with libx264's default interval: hence the long
# analysis time and the 10 s of slack. Fails when no packet arrived.
measure_stream() {
    local secs=${2:-5} out
    out=$(timeout -k 2 $((secs + 25)) ffprobe -v error -analyzeduration 15M -read_intervals "%+$((secs + 10))" \
        -show_entries stream=index,codec_type,codec_name,width,height,sample_rate:packet=stream_index,pts_time,size \
        -of compact "$1" 2>/dev/null)
    [ -n "$out" ] || return 1
    awk -F'|' -v secs="$secs" '
        { delete f; for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] } }
        $1 == "stream" { n = f["index"]; order[++streams] = n; video[n] = f["codec_type"] == "video"
                         desc[n] = f["codec_type"] == "video" ? f["codec_name"] " " f["width"] "x" f["height"] \
                                                                : f["codec_name"] " " f["sample_rate"] " Hz" }
        $1 == "packet" && f["pts_time"] != "N/A" { np++; sn[np] = f["stream_index"]; st[np] = f["pts_time"] + 0
                                                   sz[np] = f["size"] }
        END {
            # One window for all streams, from the first video packet (the first keyframe), so
            # that what arrived in a burst before it does not count.
            for (i = 1; i <= np; i++) if (video[sn[i]] && (from == "" || st[i] < from)) from = st[i]
            for (i = 1; i <= np; i++) {
                n = sn[i]; t = st[i]
                if ((from != "" && t < from) || (n in first && t - first[n] > secs)) continue
                if (!(n in first)) first[n] = t
                last[n] = t; bytes[n] += sz[i]; count[n]++
            }
            for (i = 1; i <= streams; i++) {
                n = order[i]; rate = "no packets"
                # n packets span n-1 intervals: scale the span rather than drop a packet.
                if (count[n] > 1 && last[n] > first[n])
                    rate = sprintf("%d kbit/s", bytes[n] * 8 / 1000 / ((last[n] - first[n]) * count[n] / (count[n] - 1)))
                s = s sep desc[n] " " rate; sep = ", "; got += count[n]
            }
            print s; exit !got
        }' <<<"$out"
}
