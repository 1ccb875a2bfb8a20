#!/usr/bin/env bash
# Configures and builds CamRelay into build/ (Ninja, RelWithDebInfo). Extra arguments go to cmake.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
ninja -C "$root/build" -j"$(nproc)"
