#!/usr/bin/env bash
# Configures (when needed) and builds CamRelay with Ninja; RelWithDebInfo unless the folder was
# already configured otherwise.
#   build.sh [--dir DIR] [--what TEXT] [-DNAME=VALUE ...] [TARGET ...]
#     --dir DIR    build folder (default build/)
#     --what TEXT  what the progress line calls this build (default: the targets)
#     -D...        cmake cache settings; cmake runs again only when one differs from the cache
#     TARGET       ninja targets (default: everything)
# Cmake's and ninja's own output go to DIR/build.log; on failure its path and last lines are
# printed. On a terminal the step counter updates in place, otherwise a line every 30 s.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dir=$root/build
what=""
cmake_args=()
targets=()
while [ $# -gt 0 ]; do
    case $1 in
        --dir) dir=$(realpath -m "$2"); shift ;;
        --what) what=$2; shift ;;
        -D*) cmake_args+=("$1") ;;
        *) targets+=("$1") ;;
    esac
    shift
done
[ -n "$what" ] || what=${targets[*]:-everything}
log=$dir/build.log
mkdir -p "$dir"
: >"$log"

say() { echo "build: $*"; }

fail() {
    echo "build: $1 failed; full log: $log" >&2
    echo "build: its last lines:" >&2
    tail -n 25 "$log" | sed 's/^/    /' >&2
    exit 1
}

# True when every -DNAME[:TYPE]=VALUE already stands so in the cache.
cache_matches() {
    local arg name value
    [ -f "$dir/build.ninja" ] && [ -f "$dir/CMakeCache.txt" ] || return 1
    for arg in "${cmake_args[@]}"; do
        arg=${arg#-D}
        name=${arg%%=*}
        name=${name%%:*}
        value=${arg#*=}
        awk -v n="$name" -v v="$value" '{ split($0, key, /[:=]/) }
            key[1] == n { found = (substr($0, index($0, "=") + 1) == v) }
            END { exit !found }' "$dir/CMakeCache.txt" || return 1
    done
}

if ! cache_matches; then
    [ -f "$dir/CMakeCache.txt" ] || cmake_args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "${cmake_args[@]}")
    say "configuring $dir (cmake)"
    cmake -S "$root" -B "$dir" -G Ninja "${cmake_args[@]}" >>"$log" 2>&1 || fail "configuring"
fi

say "building $what on $(nproc) cores (log $log)"
start=$SECONDS
NINJA_STATUS="[%f/%t] " ninja -C "$dir" -j"$(nproc)" "${targets[@]}" >>"$log" 2>&1 &
pid=$!
trap 'kill "$pid" 2>/dev/null' EXIT
last_note=$SECONDS
while kill -0 "$pid" 2>/dev/null; do
    sleep 1
    progress=$(grep -o '^\[[0-9]*/[0-9]*\]' "$log" | tail -n 1 || true)
    if [ -t 1 ]; then
        printf '\rbuild: %s %s, %d s ' "$what" "${progress:-[starting]}" $((SECONDS - start))
    elif ((SECONDS - last_note >= 30)); then
        say "  still building, ${progress:-starting} after $((SECONDS - start)) s"
        last_note=$SECONDS
    fi
done
[ -t 1 ] && printf '\n'
trap - EXIT
wait "$pid" || fail "building $what"
say "built $what in $((SECONDS - start)) s"
