#!/usr/bin/env bash
# The whole test suite: installs what is missing, then configures, builds
# and runs CTest in the default build and under ASan+UBSan and TSan.
# Usage: scripts/test.sh [preset...]   (default: default asan tsan windows)
# The preset "windows" runs scripts/test-windows.sh: the mingw-w64 cross
# build with its tests under wine.
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh || exit 1

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(default asan tsan windows)

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp"

failed=()
for preset in "${presets[@]}"; do
  if [ "$preset" = windows ]; then
    scripts/test-windows.sh || failed+=(windows)
    continue
  fi
  echo "=== $preset: configure and build"
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset"; then
    failed+=("$preset(build)")
    continue
  fi
  echo "=== $preset: test"
  ctest --preset "$preset" || failed+=("$preset")
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "All test runs passed: ${presets[*]}"
