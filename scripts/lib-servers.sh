# shellcheck shell=bash disable=SC2034
# Shell helpers for the local test servers (sourced by demo.sh and the system test).
# Everything listens on 127.0.0.1 only. Each server runs in its own session and process group
# and gets SIGKILL when the shell that started it dies, so even a killed script leaves nothing
# serving. Functions print errors to stderr and return non-zero on failure.

CAMRELAY_SCRIPTS_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
NGINX_RTMP_MODULE=/usr/lib/nginx/modules/ngx_rtmp_module.so

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
# shell; its pid goes to SPAWNED_PID. Standard input is /dev/null; descriptor 9 (the demo's lock)
# is not passed on. Never call the start functions inside $(...): the server would die with that
# subshell.
spawn_server() {
    local log=$1
    shift
    # In a script (no job control) the background child is no group leader, so setsid does
    # not fork and $! is the server itself.
    setsid setpriv --pdeathsig KILL "$@" </dev/null >>"$log" 2>&1 9>&- &
    SPAWNED_PID=$!
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
    kill -KILL -- "-$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    return 0
}

# start_nginx_rtmp DIR PORT: a private nginx-rtmp ("live" application) with its config, pid
# and logs in DIR. One process (master_process off), so killing it leaves no worker serving.
# Sets NGINX_PID once the port accepts connections.
start_nginx_rtmp() {
    local dir=$1 port=$2 pid i
    mkdir -p "$dir" || return 1
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
events { worker_connections 256; }
rtmp {
    access_log access.log;
    server {
        listen 127.0.0.1:$port;
        application live { live on; record off; }
    }
}
EOF
    spawn_server "$dir/nginx.out" nginx -p "$dir/" -c "$dir/nginx.conf" -e "$dir/error.log"
    pid=$SPAWNED_PID
    for ((i = 0; i < 60; i++)); do
        if port_accepts "$port"; then
            NGINX_PID=$pid
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

# start_rtsp_sim LOGFILE PORT: the camera simulator on rtsp://127.0.0.1:PORT/test.
# Sets RTSP_PID once it has reported READY (at most ~15 s).
start_rtsp_sim() {
    local log=$1 port=$2 pid i
    : >"$log"
    spawn_server "$log" /usr/bin/python3 "$CAMRELAY_SCRIPTS_DIR/rtsp_sim.py" "$port"
    pid=$SPAWNED_PID
    for ((i = 0; i < 300; i++)); do
        if grep -q '^READY' "$log" 2>/dev/null; then
            RTSP_PID=$pid
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

# probe_stream URL [TIMEOUT]: one bounded ffprobe; prints "codec[,WxH|,RATE Hz]" per stream on
# one line, e.g. "h264 640x360, aac 44100 Hz". Fails when no stream was found.
probe_stream() {
    local out
    out=$(timeout -k 2 "${2:-12}" ffprobe -v error \
        -show_entries stream=codec_type,codec_name,width,height,sample_rate \
        -of csv=p=0 "$1" 2>/dev/null) || return 1
    [ -n "$out" ] || return 1
    # csv field order is ffprobe's own: codec_name,codec_type,width,height | sample_rate
    awk -F, '$2 == "video" { s = s sep $1 " " $3 "x" $4; sep = ", " }
             $2 == "audio" { s = s sep $1 " " $3 " Hz"; sep = ", " }
             END { print s }' <<<"$out"
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
