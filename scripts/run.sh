#!/usr/bin/env bash
# Installs what is missing, builds CamRelay (only the program and its libraries: no tests, no
# benchmarks) and starts it.
#   run.sh            the live demo: a simulated camera and a local RTMP server on 127.0.0.1,
#                     CamRelay in demo/app relaying two channels (see README)
#   run.sh --keep     without a display: keep the demo running after its checks until Ctrl+C
#   run.sh --real     CamRelay from build/bin with your own config.ini beside it
# Other options go to scripts/demo.sh (see scripts/demo.sh --help).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
echo "run: checking packages (apt-get installs whatever is missing)"
bash "$root/scripts/install-deps.sh"
# A build folder configured with the tests needs GoogleTest even to build the program alone; on
# a machine without it, configure without the tests (scripts/test.sh turns them back on).
options=()
dpkg-query -W -f='${Status}' libgtest-dev 2>/dev/null | grep -q "install ok installed" ||
    options+=(-DCAMRELAY_TESTS=OFF)
bash "$root/scripts/build.sh" --what "CamRelay (the program and its libraries)" "${options[@]}" CamRelay
if [ "${1:-}" = "--real" ]; then
    echo "run: starting $root/build/bin/CamRelay"
    exec "$root/build/bin/CamRelay"
fi
exec bash "$root/scripts/demo.sh" "$@"
