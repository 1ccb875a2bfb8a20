#!/usr/bin/env bash
# The stand-in picture's CPU beside a copy relay of the camera simulator (standin_cpu_bench),
# with a private nginx-rtmp and the simulator on 127.0.0.1, stopped on exit.
#   standin_cpu.sh PATH_TO_standin_cpu_bench [SECONDS]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib-servers.sh"
make_work_dir standin-bench
start_nginx_rtmp "$WORK_DIR/nginx" "$(free_port)"
start_rtsp_sim "$WORK_DIR/rtsp.log" "$(free_port)"
"$1" "$NGINX_URL" "$RTSP_URL" "${2:-20}"
