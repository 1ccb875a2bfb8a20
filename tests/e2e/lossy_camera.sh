#!/usr/bin/env bash
# A camera whose UDP packets are partly lost on the way: 5 % of them dropped by nftables inside a
# private network namespace, where the camera simulator, nginx-rtmp and the headless service talk
# only to each other. The channel, reading the camera over UDP, relays; it counts the lost packets
# and is reported live but degraded, with the advice to read the camera over TCP, and is not
# restarted for it. Needs root for the namespace (skipped, 77, without it).
#   lossy_camera.sh CAMRELAY
set -euo pipefail
program=$1
if [ -z "${CAMRELAY_LOSSY_NETNS:-}" ]; then
    if [ "$(id -u)" != 0 ] || ! command -v unshare >/dev/null || ! command -v nft >/dev/null; then
        echo "skipped: needs root, unshare and nft"
        exit 77
    fi
    exec env CAMRELAY_LOSSY_NETNS=1 unshare --net bash "$0" "$@"
fi
ip link set lo up
nft -f - <<'EOF'
table inet lossy {
    chain input {
        type filter hook input priority 0;
        meta l4proto udp numgen random mod 100 < 5 drop
    }
}
EOF
# shellcheck source=../../scripts/lib-servers.sh
source "$(dirname "$0")/../../scripts/lib-servers.sh"
tmp=$(mktemp -d /tmp/camrelay-lossy.XXXXXX)
trap 'set +e; stop_servers; rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; cat "$tmp/site/CamRelay.log" >&2 2>/dev/null; exit 1; }

start_nginx_rtmp "$tmp/nginx" "$(free_port)"
start_rtsp_sim "$tmp/rtsp.log" "$(free_port)"
mkdir "$tmp/site"
cat >"$tmp/site/config.ini" <<EOF
[SET DEFAULT VALUE]
m_bRTSPuseTCP=0
0+Name=丢包
0+SignalName=$RTSP_URL
0+Adress=$NGINX_URL/lossy
0+checkstate=1
0+checkstate3=1
0+strAVState=运行中
0+VdTransCode=否
EOF
port=$(free_port)
spawn_server "$tmp/stderr.log" env -u DISPLAY -u WAYLAND_DISPLAY "$program" --headless --dir "$tmp/site" \
    --status-port "$port"
get() { (exec 3<>"/dev/tcp/127.0.0.1/$port" && printf 'GET %s HTTP/1.0\r\n\r\n' "$1" >&3 && cat <&3) 2>/dev/null || true; }
for ((i = 0; i < 240; i++)); do
    status=$(get /status)
    grep -q '"degraded":"packet_loss"' <<<"$status" && break
    sleep 0.5
done
[ "$i" -lt 240 ] || fail "the lossy channel was not reported degraded: $status"
pid=$(pgrep -f -- "$NGINX_URL/lossy")
grep -q '"state":"live"' <<<"$status" || fail "not live: $status"
grep -q '"health":"摄像头到本机丢包：最近一分钟丢失 [0-9]* 个包，画面会花屏或卡顿，建议勾选“TCP模式拉监控视频”"' <<<"$status" ||
    fail "no TCP advice: $status"
metrics=$(get /metrics)
lost=$(sed -n 's/^camrelay_channel_lost_packets_total{id="0",name="丢包"} //p' <<<"$metrics")
[ "${lost:-0}" -gt 0 ] || fail "no lost packets on /metrics: $metrics"
grep -q 'camrelay_channel_degraded{id="0",name="丢包",cause="packet_loss"} 1' <<<"$metrics" || fail "metrics: $metrics"
grep -q '直播质量差: 摄像头到本机丢包' "$tmp/site/CamRelay.log" || fail "not in the log"
[ "$(pgrep -f -- "$NGINX_URL/lossy")" = "$pid" ] || fail "the lossy channel was restarted"
echo "lossy camera: $lost packets lost, reported degraded with the TCP advice"
