#!/usr/bin/env bash
# Runs one Windows program under wine in a private prefix:
#   scripts/wine-run.sh PREFIX_DIR program.exe [args...]
# The prefix is created on first use (under a lock, since CTest starts
# several programs at once); wine's own diagnostics are silenced.
set -euo pipefail
prefix=$1
shift
export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all
# No desktop integration, no Mono/Gecko download prompts in a fresh prefix.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}"
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$prefix/system.reg" ]; then
      wineboot --init >/dev/null 2>&1 || true
      wineserver --wait || true
    fi
  ) 9>"$prefix.lock"
fi
exec wine "$@"
