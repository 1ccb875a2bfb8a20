#!/usr/bin/env bash
# Regenerates docs/screenshots/*.png: the real main window and wizard, relaying real ffmpeg
# streams through a private nginx-rtmp on 127.0.0.1, grabbed under Qt's offscreen platform.
# Usage: scripts/screenshots.sh [build-dir]   (default: build; built first when needed)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
if [ ! -f "$build/build.ninja" ] && [ ! -f "$build/Makefile" ]; then
    cmake -S "$root" -B "$build" -G Ninja
fi
cmake --build "$build" --target e2e_tests -j2
out="$root/docs/screenshots"
mkdir -p "$out"
CAMRELAY_SCREENSHOT_DIR="$out" QT_QPA_PLATFORM=offscreen \
    "$build/tests/e2e_tests" --gtest_filter='WizardImportEndToEnd.Screenshots'
ls -l "$out"/*.png
