#!/usr/bin/env bash
# The fault matrix: whole upgrades against the simulated camera, one fault
# per cell, each cell with the verdict it must reach and the time it took.
# Needs root (every cell runs in network and mount namespaces of its own).
#   scripts/fault-matrix.sh [--preset P] [--short] [--only CELL] [--markdown]
# --short runs the cells CI runs; --markdown prints the table as
# docs/fault-matrix.md keeps it. Each cell's log: build/<preset>/fault-matrix-logs/.
set -uo pipefail
cd "$(dirname "$0")/.."

preset=default
args=()
while [ $# -gt 0 ]; do
  case $1 in
    --preset) preset=$2; shift 2 ;;
    *) args+=("$1"); shift ;;
  esac
done

cmake --preset "$preset" >/dev/null || exit 1
cmake --build --preset "$preset" --target fault_matrix >/dev/null || { echo "build failed" >&2; exit 1; }
exec "build/$preset/bin/fault_matrix" --logs "build/$preset/fault-matrix-logs" "${args[@]}"
