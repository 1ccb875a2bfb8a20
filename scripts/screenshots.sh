#!/usr/bin/env bash
# Regenerates docs/screenshots/*.png with tools/screenshots: the real main window and wizard,
# relaying real ffmpeg streams through a private nginx-rtmp on 127.0.0.1, in a real X server
# (Xvfb), so that the failing row's tooltip can be taken from the screen; and the web console in
# headless chromium, from its browser test (tests/e2e/web_console_test.py).
# Usage: scripts/screenshots.sh [build-dir]   (default: build; configured and built as needed)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
cmake -S "$root" -B "$build" -G Ninja -DCAMRELAY_SCREENSHOTS=ON >/dev/null
cmake --build "$build" --target screenshots CamRelay -j2
out="$root/docs/screenshots"
mkdir -p "$out"
CAMRELAY_SCREENSHOT_DIR="$out" QT_QPA_PLATFORM=xcb \
    xvfb-run -a -s "-screen 0 1280x800x24" "$build/tools/screenshots"
/usr/bin/python3 "$root/tests/e2e/web_console_test.py" --bin "$build/bin" --scripts "$root/scripts" \
    --screenshot "$out/web-console.png"
ls -l "$out"/*.png
