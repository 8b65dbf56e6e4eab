#!/usr/bin/env bash
# The whole test suite: installs what is missing, then configures, builds
# and runs CTest in the default build and under ASan+UBSan and TSan, with
# the short hardening runs (the fault matrix's CI cells on the default build,
# five upgrades in one process under ASan, every fuzz target for 15 s), the
# Debian package (built from the default build, installed, tried, removed),
# the fleet playbook (run once on this machine against camsim), and
# the Windows step (the mingw-w64 cross build, its tests and one upgrade
# under wine).
# Usage: scripts/test.sh [preset...]   (default: default asan tsan fuzz windows)
set -uo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(default asan tsan fuzz windows)

# One installation for everything the chosen runs need.
if [[ " ${presets[*]} " == *" windows "* ]]; then
  scripts/deps.sh windows || exit 1
else
  scripts/deps.sh || exit 1
fi

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp"

failed=()
for preset in "${presets[@]}"; do
  start=$SECONDS
  case $preset in
    windows)
      scripts/test-windows.sh || failed+=(windows)
      echo "=== windows: $((SECONDS - start)) s"
      continue ;;
    fuzz)
      echo "=== fuzz: every target for 15 s"
      fuzz/run.sh all 15 || failed+=(fuzz)
      echo "=== fuzz: $((SECONDS - start)) s"
      continue ;;
  esac
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
      scripts/fault-matrix.sh --short || failed+=(fault-matrix)
      echo "=== default: the Debian package, installed, tried and removed"
      scripts/package-deb.sh || failed+=(package-deb)
      echo "=== default: the fleet playbook, once with -c local"
      scripts/fleet-check.sh || failed+=(fleet) ;;
    asan)
      echo "=== asan: soak, five upgrades"
      scripts/soak.sh --short || failed+=(soak) ;;
  esac
  echo "=== $preset: $((SECONDS - start)) s"
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "All test runs passed: ${presets[*]}"
