#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test (unit, GUI under the
# offscreen platform, end to end with real ffmpeg, nginx-rtmp and an RTSP simulator on 127.0.0.1).
# Build output goes to build-core/build.log and build/build.log.
#   test.sh --debian13   the same run inside a Debian 13 root (scripts/test-debian13.sh)
set -euo pipefail
[ "${1:-}" != "--debian13" ] || exec bash "$(dirname "${BASH_SOURCE[0]}")/test-debian13.sh"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
echo "test: checking packages (apt-get installs whatever is missing)"
bash "$root/scripts/install-deps.sh" --test
# The core (everything below ui/: platform, settings, ffmpeg, engine, web, headless) must build
# without Qt: prove it on every run.
bash "$root/scripts/build.sh" --dir "$root/build-core" --what "the core without Qt" \
    -DCAMRELAY_GUI=OFF -DCAMRELAY_TESTS=OFF -DCAMRELAY_BENCH=OFF
bash "$root/scripts/build.sh" --what "everything (program, tests, benchmarks)" \
    -DCAMRELAY_GUI=ON -DCAMRELAY_TESTS=ON -DCAMRELAY_BENCH=ON
cd "$root/build"
# The end-to-end tests mostly wait for real-time streams, so the fuzz harnesses are built and run
# meanwhile; their lines follow the tests' summary.
fuzzlog="$root/build/fuzz.log"
setsid bash "$root/scripts/fuzz.sh" >"$fuzzlog" 2>&1 &
fuzz=$!
trap 'kill -- -$fuzz 2>/dev/null || kill $fuzz 2>/dev/null || true' INT TERM
echo "test: running $(ctest -N | sed -n 's/^Total Tests: //p') tests (ctest -j2; a failing test shows its output), and the fuzz harnesses beside them"
status=0
ctest --output-on-failure --timeout 900 -j2 || status=$?
fuzzstatus=0
wait "$fuzz" || fuzzstatus=$?
cat "$fuzzlog"
[ "$status" -eq 0 ] || { echo "test: some tests failed (above)"; exit "$status"; }
exit "$fuzzstatus"
