#!/usr/bin/env bash
# How many realistic faults the tests catch: puts each fault of scripts/mutants.txt into a scratch
# copy of the tree, rebuilds, runs the tests that can reach it and prints which ones caught it.
# Not part of scripts/test.sh. Usage: scripts/mutate.sh [--only ID,ID] [--list] [--keep] [--jobs N]
# (--help for all options). scripts/mutate.sh --random N --seed S draws N faults by fixed rules
# (scripts/mutate_random.py) at random places of the production code instead of the list. Exit 2 when the list is stale: an original text not found exactly once.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
exec python3 "$root/scripts/mutate.py" "$@"
