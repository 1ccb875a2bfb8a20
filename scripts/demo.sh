#!/usr/bin/env bash
# CamRelay live demo: a simulated camera (RTSP) and a private RTMP server on 127.0.0.1, and a
# copy of CamRelay in demo/app/ with two channels that relay the camera to that server.
# The operator's own build/bin/config.ini is never touched.
#
#   scripts/demo.sh                 run CamRelay (on $DISPLAY, or under Xvfb without one)
#   scripts/demo.sh --headless      always under Xvfb: wait until both rows are live, measure both
#                                   published streams, take screenshots, print what was verified
#   scripts/demo.sh --keep          under Xvfb: after those checks keep everything running until
#                                   Ctrl+C and print the ffplay lines for another terminal
#   scripts/demo.sh --seconds N     under Xvfb, wait at most N seconds for both rows (default 40)
#   scripts/demo.sh --prepare-only  lay out demo/app, start the servers, relay both channels
#                                   with plain ffmpeg as a smoke check, stop everything
#   scripts/demo.sh --bin PATH      the CamRelay executable to copy (default build/bin/CamRelay)
#
# Everything the demo starts is stopped when CamRelay exits, on Ctrl+C and on any error.
# Exit code: 0 when all went well; under Xvfb 3 when CamRelay closed normally but a row was not
# live or a stream could not be measured; otherwise CamRelay's own code or 1.
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/lib-servers.sh
source "$ROOT/scripts/lib-servers.sh"

DEMO=$ROOT/demo
RUN=$DEMO/run
APP=$DEMO/app
SHOTS=$DEMO/screenshots
BIN=$ROOT/build/bin/CamRelay
SECONDS_TO_WAIT=40
HEADLESS=0
KEEP=0
PREPARE_ONLY=0

die() { echo "demo: $*" >&2; exit 1; }

# The channels CamRelay reported on standard error ("<time> 信号 NAME (id N): EVENT", one line per
# event): the last report of each channel, in id order (the demo's ids are its rows).
row_reports() {
    sed -En 's/^([0-9T:-]+ )?(信号 .* \(id ([0-9]+)\): .*)$/\3\t\2/p' "$1" 2>/dev/null |
        awk -F'\t' '{ last[$1] = $2 } END { for (r in last) print r "\t" last[r] }' | sort -n | cut -f2-
}

# --xvfb-inner runs inside the Xvfb session (see the end of this script): start CamRelay, wait
# until both rows are live, measure both streams, take the screenshots, report; then either keep
# running until stopped (--keep) or close CamRelay with SIGTERM as a window close would.
if [ "${1:-}" = "--xvfb-inner" ]; then
    app=$2 wait=$3 shots=$4 log=$5 keep=$6 out0=$7 out1=$8
    # The status endpoint tells the bitrate cells as the window shows them.
    status_port=$(free_port)
    "$app" --status-port "$status_port" 2>>"$log" &
    pid=$!
    echo "demo: CamRelay started; waiting for both rows to go live (at most $wait s), then" \
        "ffprobe measures each published stream (5 s of packets; up to 20 s for a keyframe)"
    # Row 1 publishes cam0, row 2 cam1; each stream is measured as soon as its row is live.
    m0="" m1=""
    for ((i = 0; i < wait * 10; i++)); do
        if ! kill -0 "$pid" 2>/dev/null; then
            wait "$pid"
            echo "demo: CamRelay ended early with exit code $?; its messages: $log" >&2
            exit 1
        fi
        reports=$(row_reports "$log")
        if [ -z "$m0" ] && grep -q '(id 0): 开始直播 ' <<<"$reports"; then
            measure_stream "$out0" >"$shots/.m0" 2>&1 &
            m0=$!
        fi
        if [ -z "$m1" ] && grep -q '(id 1): 开始直播 ' <<<"$reports"; then
            measure_stream "$out1" >"$shots/.m1" 2>&1 &
            m1=$!
        fi
        [ -n "$m0" ] && [ -n "$m1" ] && break
        sleep 0.1
    done
    sleep 1 # let the window paint the new cells
    import -window root "$shots/main-start.png" 2>/dev/null
    # A row that never went live still gets its stream probed, to say what is there.
    [ -n "$m0" ] || { measure_stream "$out0" >"$shots/.m0" 2>&1 & m0=$!; }
    [ -n "$m1" ] || { measure_stream "$out1" >"$shots/.m1" 2>&1 & m1=$!; }
    wait "$m0" "$m1"
    import -window root "$shots/main.png"

    verified=1
    echo
    echo "Verified under Xvfb:"
    echo "  published streams, as ffprobe measured them:"
    for n in 0 1; do
        url=$out0 && [ "$n" -eq 1 ] && url=$out1
        info=$(cat "$shots/.m$n")
        rm -f "$shots/.m$n"
        if [[ $info == *h264* && $info == *Hz* && $info != *"no packets"* ]]; then
            echo "    $url: $info"
        else
            echo "    $url: no stream with video and audio (${info:-nothing})"
            verified=0
        fi
    done
    echo "  bitrate cells as CamRelay shows them now (its status endpoint, /metrics):"
    /usr/bin/python3 - "$status_port" <<'PY' || verified=0
import re, sys, urllib.request
try:
    text = urllib.request.urlopen(f"http://127.0.0.1:{sys.argv[1]}/metrics", timeout=5).read().decode()
except OSError as e:
    print(f"    (no answer from the status endpoint: {e})"); sys.exit(1)
rows = re.findall(r'^camrelay_channel_bitrate_kbps\{id="(\d+)",name="((?:[^"\\]|\\.)*)"\} (\S+)$', text, re.M)
for id_, name, kbps in rows:
    print(f"    第{int(id_) + 1}行 {name}: {float(kbps):.0f}kbps")
sys.exit(0 if len(rows) == 2 and all(float(k) > 0 for _, _, k in rows) else 1)
PY
    reports=$(row_reports "$log")
    [ "$(grep -c ': 开始直播 ' <<<"$reports")" -ge 2 ] || verified=0
    echo "  screenshots: $shots/main-start.png (rows just live)"
    echo "               $shots/main.png (after measuring: steady bitrates)"
    echo

    if [ "$keep" -eq 1 ]; then
        echo "demo: everything keeps running; watch the two published streams from another terminal:"
        echo "  ffplay $out0      # 直通 (copy)"
        echo "  ffplay $out1      # 转码 (640x360, 800 kbit/s, watermark)"
        echo "demo: press Ctrl+C to stop the demo"
        while kill -0 "$pid" 2>/dev/null; do sleep 1; done
        wait "$pid"
        echo "demo: CamRelay ended by itself with exit code $?" >&2
        exit 1
    fi
    kill -TERM "$pid"
    for ((i = 0; i < 150; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        echo "demo: CamRelay did not close within 15 s of SIGTERM; killing it" >&2
        kill -KILL "$pid"
    fi
    wait "$pid"
    code=$?
    [ "$code" -eq 0 ] && [ "$verified" -eq 0 ] && code=3
    exit "$code"
fi

while [ $# -gt 0 ]; do
    case $1 in
        --headless) HEADLESS=1 ;;
        --keep) HEADLESS=1 KEEP=1 ;;
        --prepare-only) PREPARE_ONLY=1 ;;
        --seconds)
            if ! [[ ${2:-} =~ ^[0-9]+$ ]] || [ "$2" -lt 2 ]; then
                die "--seconds needs a whole number >= 2"
            fi
            SECONDS_TO_WAIT=$2
            shift ;;
        --bin)
            [ -n "${2:-}" ] || die "--bin needs a path"
            BIN=$(realpath -m "$2")
            shift ;;
        -h|--help) sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) die "unknown option $1 (try --help)" ;;
    esac
    shift
done

for tool in ffmpeg ffprobe nginx setsid setpriv flock timeout; do
    command -v "$tool" >/dev/null || die "$tool is missing: run scripts/install-deps.sh --test"
done

mkdir -p "$RUN" "$APP" "$SHOTS" || die "cannot create $DEMO"
# One demo at a time: both would share demo/app and demo/run.
exec 9>"$DEMO/.lock"
flock -n 9 || die "another demo is running (lock $DEMO/.lock)"

NGINX_PID=""
RTSP_PID=""
EXTRA_PIDS=()
RTMP_PORT=""
RTSP_PORT=""

re_escape() { printf '%s' "$1" | sed 's/[][\.*^$+?(){}|]/\\&/g'; }

# Leftovers by the marks the demo's processes carry in their command lines.
demo_leftovers() {
    {
        [ -n "$RTMP_PORT" ] && pgrep -f "127\.0\.0\.1:$RTMP_PORT/"
        [ -n "$RTSP_PORT" ] && pgrep -f "rtsp_sim\.py $RTSP_PORT\$"
        pgrep -f "nginx -p $(re_escape "$RUN")/"
        pgrep -xf "$(re_escape "$APP/CamRelay")"
    } 2>/dev/null | sort -u | grep -vx "$$"
}

cleanup() {
    local code=$? pid left
    trap - EXIT INT TERM
    for pid in "${EXTRA_PIDS[@]}"; do
        stop_group "$pid" 5
    done
    stop_group "$NGINX_PID"
    stop_group "$RTSP_PID"
    left=$(demo_leftovers)
    if [ -n "$left" ]; then
        echo "demo: stopping leftover processes: $(echo $left)" >&2
        # shellcheck disable=SC2086
        kill -KILL $left 2>/dev/null
        sleep 0.2
        left=$(demo_leftovers)
        [ -n "$left" ] && { echo "demo: still running: $(echo $left)" >&2; code=1; }
    fi
    [ -z "$left" ] && echo "demo: stopped; nothing of the demo is running."
    exit "$code"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# ---- servers -------------------------------------------------------------------------------

echo "demo: starting the demo servers (RTSP camera simulator, nginx-rtmp) on 127.0.0.1"
rm -rf "$RUN/nginx"
RTSP_PORT=$(free_port) && RTMP_PORT=$(free_port) || die "no free port on 127.0.0.1"
start_rtsp_sim "$RUN/rtsp_sim.log" "$RTSP_PORT" || die "the RTSP camera simulator did not start"
start_nginx_rtmp "$RUN/nginx" "$RTMP_PORT" || die "nginx-rtmp did not start"
CAMERA=$RTSP_URL
OUT0=$NGINX_URL/cam0
OUT1=$NGINX_URL/cam1
echo "demo: camera simulator $CAMERA (H.264 Main 640x360 25 fps, A-law 8 kHz)"
echo "demo: RTMP server      rtmp://127.0.0.1:$RTMP_PORT/live/"

# ---- demo/app ------------------------------------------------------------------------------

LOGO=$APP/logo.png
ffmpeg -nostdin -y -loglevel error -f lavfi \
    -i "color=c=black@0.45:s=132x36,format=rgba,drawtext=text='CamRelay':fontcolor=white@0.85:fontsize=22:x=(w-tw)/2:y=(h-th)/2" \
    -frames:v 1 "$LOGO" 2>/dev/null ||
    make_test_png "$LOGO" white@0.5 132x36 || die "cannot make $LOGO"
ln -sfn /usr/bin/ffmpeg "$APP/ffmpeg"

# Written fresh on every run: the ports change. Keys as the channel wizard stores them, then
# the state word and re-encode mark of an imported channel.
# Channel 0 copies audio too: the camera's A-law 8 kHz goes into FLV unchanged (checked with
# nginx-rtmp and ffprobe), so no audio re-encode is needed.
write_config() {
    cat >"$APP/config.ini.new" <<EOF
[SET DEFAULT VALUE]
nextId=2
m_bAutoRun=1
m_bRTSPuseTCP=1
0+Name=演示摄像头-直通
0+SignalName=$CAMERA
0+Adress=$OUT0
0+StreamName=cam0
0+VdBitRate=300
0+VdRameRate=25
0+VdWidth=640
0+VdHeight=360
0+VdProFile=high
0+AdChannel=2
0+AdSmpLinGrate=44100
0+AdBitRate=32
0+strFilePath=
0+StrPucSeatPos=:
0+strPucSeat=左上
0+checkstate=1
0+checkstate1=0
0+checkstate2=0
0+checkstate3=1
0+checkstate4=0
0+strAVState=运行中
0+VdTransCode=否
1+Name=演示摄像头-转码
1+SignalName=$CAMERA
1+Adress=$OUT1
1+StreamName=cam1
1+VdBitRate=800
1+VdRameRate=25
1+VdWidth=640
1+VdHeight=360
1+VdProFile=main
1+AdChannel=2
1+AdSmpLinGrate=44100
1+AdBitRate=64
1+strFilePath=$LOGO
1+StrPucSeatPos=main_w-overlay_w+-10:main_h-overlay_h+-10
1+strValue=-10
1+strValue1=-10
1+strPucSeat=右下
1+checkstate=1
1+checkstate1=1
1+checkstate2=0
1+checkstate3=1
1+checkstate4=1
1+strAVState=运行中
1+VdTransCode=是
EOF
    mv -f "$APP/config.ini.new" "$APP/config.ini"
}
write_config || die "cannot write $APP/config.ini"

if [ -x "$BIN" ]; then
    # A copy, not a link: CamRelay finds config.ini beside its own resolved path.
    cp -f "$BIN" "$APP/CamRelay.new" && mv -f "$APP/CamRelay.new" "$APP/CamRelay" ||
        die "cannot copy $BIN into $APP"
elif [ "$PREPARE_ONLY" -eq 0 ]; then
    die "$BIN not found: build CamRelay first (cmake -S . -B build -G Ninja && ninja -C build)"
else
    echo "demo: $BIN not built yet; demo/app has everything else"
fi
echo "demo: app folder $APP"


# The ffplay lines, for watching while CamRelay runs.
print_watch_lines() {
    echo
    echo "Watch the two published streams:"
    echo "  ffplay $OUT0      # 直通 (copy)"
    echo "  ffplay $OUT1      # 转码 (640x360, 800 kbit/s, watermark)"
    echo
}

# ---- smoke check with plain ffmpeg ---------------------------------------------------------

# The two channels' relay lines, as CamRelay runs them with RTSP over TCP on ("libfaac" becomes
# the built-in "aac" encoder).
smoke_check() {
    local log0=$RUN/smoke-cam0.log log1=$RUN/smoke-cam1.log ok=0 url info
    local vf
    vf=" movie=$(ffmpeg_filter_path "$LOGO") [watermark];[in][watermark] overlay=main_w-overlay_w+-10:main_h-overlay_h+-10 "
    : >"$log0"
    : >"$log1"
    spawn_server "$log0" ffmpeg -nostdin -loglevel error -rtsp_transport tcp -i "$CAMERA" \
        -vcodec copy -acodec copy -f flv "$OUT0"
    EXTRA_PIDS+=("$SPAWNED_PID")
    spawn_server "$log1" ffmpeg -nostdin -loglevel error -rtsp_transport tcp -i "$CAMERA" \
        -vcodec libx264 -acodec aac -ac 2 -ar 44100 -b:a 64k -s 640*360 -b:v 800k -r 25 \
        -vprofile main -vf "$vf" -f flv "$OUT1"
    EXTRA_PIDS+=("$SPAWNED_PID")
    for url in "$OUT0" "$OUT1"; do
        info=$(probe_until_video "$url")
        if [[ $info == *", "* ]]; then
            echo "  smoke: $url: $info"
        else
            echo "  smoke: $url: no stream with video and audio ($info)" >&2
            ok=1
        fi
    done
    [ "$ok" -eq 0 ] || tail -n 5 "$log0" "$log1" >&2
    return "$ok"
}

if [ "$PREPARE_ONLY" -eq 1 ]; then
    echo "demo: smoke check, relaying both channels with plain ffmpeg"
    smoke_check
    exit $?
fi

# ---- CamRelay ------------------------------------------------------------------------------

# Runs its arguments as a process group of their own and waits. Waiting in the background keeps
# this script responsive to Ctrl+C and SIGTERM, whose traps then stop the whole group.
run_group() {
    setsid "$@" 9>&- &
    EXTRA_PIDS+=("$!")
    wait "$!"
}

if [ "$HEADLESS" -eq 0 ] && [ -n "${DISPLAY:-}" ]; then
    print_watch_lines
    echo "demo: running CamRelay; close its window (or press Ctrl+C here) to end the demo"
    run_group "$APP/CamRelay"
    code=$?
    echo "demo: CamRelay exited with code $code"
    exit "$code"
fi

command -v xvfb-run >/dev/null && command -v import >/dev/null ||
    die "no display and no xvfb-run/import: run scripts/install-deps.sh --test"
rm -f "$SHOTS/main.png" "$SHOTS/main-start.png"
CAMRELAY_LOG=$RUN/camrelay.log
: >"$CAMRELAY_LOG"
echo "demo: no display: starting Xvfb and CamRelay in it (CamRelay's messages: $CAMRELAY_LOG)"
run_group xvfb-run -a -s "-screen 0 1280x800x24" \
    bash "$0" --xvfb-inner "$APP/CamRelay" "$SECONDS_TO_WAIT" "$SHOTS" "$CAMRELAY_LOG" "$KEEP" "$OUT0" "$OUT1"
code=$?
case $code in
    0) echo "demo: both channels were live and measured; CamRelay closed normally" ;;
    3) echo "demo: CamRelay closed normally, but a channel was not verified (see above)" >&2 ;;
    *) echo "demo: CamRelay exited with code $code" >&2 ;;
esac
[ -f "$SHOTS/main.png" ] || { echo "demo: no screenshot was taken" >&2; code=1; }
exit "$code"
