#!/usr/bin/env bash
# The whole test suite: installs what is missing, then configures, builds
# and runs CTest in the default build and under ASan+UBSan and TSan, then
# the short hardening runs: the fault matrix's CI cells on the default
# build, five upgrades in one process under ASan, and every fuzz target for
# 15 s ("fuzz").
# Usage: scripts/test.sh [preset...]   (default: default asan tsan fuzz)
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh || exit 1

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(default asan tsan fuzz)

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp"

failed=()
for preset in "${presets[@]}"; do
  if [ "$preset" = fuzz ]; then
    echo "=== fuzz: every target for 15 s"
    fuzz/run.sh all 15 || failed+=(fuzz)
    continue
  fi
  echo "=== $preset: configure and build"
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset"; then
    failed+=("$preset(build)")
    continue
  fi
  echo "=== $preset: test"
  ctest --preset "$preset" || failed+=("$preset")
  case $preset in
    default)
      echo "=== default: fault matrix, CI cells"
      scripts/fault-matrix.sh --short || failed+=(fault-matrix) ;;
    asan)
      echo "=== asan: soak, five upgrades"
      scripts/soak.sh --short || failed+=(soak) ;;
  esac
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "All test runs passed: ${presets[*]}"
