#!/usr/bin/env bash
# Regenerates docs/screenshots/*.png with tools/screenshots: the real main window and wizard,
# relaying real ffmpeg streams through a private nginx-rtmp on 127.0.0.1, grabbed under Qt's
# offscreen platform.
# Usage: scripts/screenshots.sh [build-dir]   (default: build; configured and built as needed)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
cmake -S "$root" -B "$build" -G Ninja -DCAMRELAY_SCREENSHOTS=ON >/dev/null
cmake --build "$build" --target screenshots -j2
out="$root/docs/screenshots"
mkdir -p "$out"
CAMRELAY_SCREENSHOT_DIR="$out" QT_QPA_PLATFORM=offscreen "$build/tools/screenshots"
ls -l "$out"/*.png
