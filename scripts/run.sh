#!/usr/bin/env bash
# Installs what is missing, builds, and starts CamRelay.
#   run.sh            the live demo: a simulated camera and a local RTMP server on 127.0.0.1,
#                     CamRelay in demo/app relaying two channels (see README)
#   run.sh --real     CamRelay from build/bin with your own config.ini beside it
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh"
if [ "${1:-}" = "--real" ]; then
    exec "$root/build/bin/CamRelay"
fi
exec bash "$root/scripts/demo.sh" "$@"
