#!/usr/bin/env bash
# The example config.ini of the user guide, loaded and run as an operator would: the block after
# the "config-example" mark, with the cameras, the RTMP server and the watermark replaced by the
# RTSP simulator, a private nginx-rtmp and a test PNG on 127.0.0.1, run by the headless service.
# Both channels must go live, publish what the guide says, and the watermark must be in the line.
#   user_guide_example.sh CAMRELAY USER_GUIDE.md
set -euo pipefail
program=$1 guide=$2
# shellcheck source=../../scripts/lib-servers.sh
source "$(dirname "$0")/../../scripts/lib-servers.sh"
tmp=$(mktemp -d /tmp/camrelay-guide.XXXXXX)
# The helpers' stop functions are not written for errexit.
trap 'set +e; stop_servers; rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; cat "$tmp/site/CamRelay.log" >&2 2>/dev/null; exit 1; }

mkdir "$tmp/site"
awk '/<!-- config-example/ { mark = 1; next } mark && /^```/ { if (inside) exit; inside = 1; next } inside' \
    "$guide" >"$tmp/example.ini"
grep -q '^\[SET DEFAULT VALUE\]' "$tmp/example.ini" || fail "no example block in $guide"

start_nginx_rtmp "$tmp/nginx" "$(free_port)"
start_rtsp_sim "$tmp/rtsp.log" "$(free_port)"
make_test_png "$tmp/site/logo.png"
sed -E -e "s|^([0-9]+\+SignalName=).*|\1$RTSP_URL|" -e "s|^([0-9]+\+Adress=)rtmp://[^/]*/live/|\1$NGINX_URL/|" \
    -e "s|^([0-9]+\+strFilePath=).+|\1$tmp/site/logo.png|" "$tmp/example.ini" >"$tmp/site/config.ini"

port=$(free_port)
spawn_server "$tmp/stderr.log" env -u DISPLAY -u WAYLAND_DISPLAY "$program" --headless --dir "$tmp/site" \
    --status-port "$port"
for ((i = 0; i < 360; i++)); do
    status=$( (exec 3<>"/dev/tcp/127.0.0.1/$port" && printf 'GET /status HTTP/1.0\r\n\r\n' >&3 && cat <&3) 2>/dev/null || true)
    [ "$(grep -o '"state":"live"' <<<"$status" | wc -l)" = 2 ] && break
    sleep 0.5
done
[ "$i" -lt 360 ] || fail "the two example channels did not both go live: $status"
grep -q 'config.ini 中有 2 个信号，其中 2 个存为运行中' "$tmp/site/CamRelay.log" || fail "start-up line"

door=$(probe_until_video "$NGINX_URL/door") || fail "nothing published as door: $door"
hall=$(probe_until_video "$NGINX_URL/hall") || fail "nothing published as hall: $hall"
echo "door: $door"
echo "hall: $hall"
[ "$door" = "h264 640x360 Main, pcm_alaw 8000 Hz 1 ch" ] || fail "the copy channel publishes $door"
[ "$hall" = "h264 640x360 Main, aac 44100 Hz 2 ch" ] || fail "the re-encoded channel publishes $hall"
pgrep -af -- "$NGINX_URL/hall" | grep -q 'overlay=main_w-overlay_w+-10:main_h-overlay_h+-10' ||
    fail "the watermark is not in the hall channel's ffmpeg line"
echo "the user guide's example runs"
