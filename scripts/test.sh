#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test (unit, GUI under the
# offscreen platform, end to end with real ffmpeg, nginx-rtmp and an RTSP simulator on 127.0.0.1).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/install-deps.sh" --test
# The core (settings/, relay/) must build without Qt: prove it on every run.
cmake -S "$root" -B "$root/build-core" -G Ninja -DCAMRELAY_GUI=OFF -DCAMRELAY_TESTS=OFF -DCAMRELAY_BENCH=OFF >/dev/null
ninja -C "$root/build-core" -j"$(nproc)" >/dev/null
bash "$root/scripts/build.sh"
cd "$root/build"
ctest --output-on-failure --timeout 900 -j2
bash "$root/scripts/fuzz.sh"
