#!/usr/bin/env bash
# Self-check of the local test servers of lib-servers.sh, run by ctest (test "servers", about
# 35 s): nginx-rtmp carries the live test source; the RTSP camera simulator serves video, lives
# through reconnect churn (rtsp_churn.py: 50 clients coming and going, some cut off mid-request,
# while a stalled viewer's queue is full) and still serves afterwards. Everything it starts is
# stopped on exit, also on failure.
set -uo pipefail   # no -e: the server helpers expect failing kills of ended groups
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=lib-servers.sh
source "$root/scripts/lib-servers.sh"

make_work_dir servers || exit 1
work=$WORK_DIR
trap 'exit 130' INT TERM HUP

fail() {
    echo "servers: $1" >&2
    [ -z "${2:-}" ] || tail -n 5 "$2" >&2
    exit 1
}

start_nginx_rtmp "$work/nginx" "$(free_port)" || fail "nginx-rtmp did not start"
start_test_source "$work/source.log" "$NGINX_URL/src" || fail "the test source did not start"
info=$(probe_until_video "$NGINX_URL/src" 20) || fail "nginx-rtmp gave no video: $info" "$work/source.log"
echo "servers: nginx-rtmp serves $info"

start_rtsp_sim "$work/rtsp.log" "$(free_port)" || fail "the RTSP simulator did not start"
info=$(probe_stream "$RTSP_URL") || fail "the RTSP simulator gave no stream" "$work/rtsp.log"
echo "servers: the RTSP simulator serves $info"
# In the background as a server of its own (with its ffmpeg viewers in its group), so that a
# stop signal ends it at once rather than after the churn.
spawn_server "$work/churn.log" /usr/bin/python3 "$root/scripts/rtsp_churn.py" "$RTSP_URL" 50
wait "$SPAWNED_PID"
churned=$?
cat "$work/churn.log"
[ "$churned" = 0 ] || fail "the RTSP simulator did not survive the churn:" "$work/rtsp.log"
kill -0 "$RTSP_PID" 2>/dev/null || fail "the RTSP simulator ended during the churn:" "$work/rtsp.log"
# A script under set -e (the demo, the guide's example) stops every server and removes its folder
# on exit, also when a server's group has already ended.
folder=$(set -e; make_work_dir selfcheck; echo "$WORK_DIR"
         spawn_server "$WORK_DIR/a.log" sleep 60; spawn_server "$WORK_DIR/b.log" sleep 60) 2>/dev/null
[ -n "$folder" ] && [ ! -e "$folder" ] || fail "a set -e script's exit left its folder $folder behind"
echo "servers: all well"
