#!/usr/bin/env bash
# Soak: many upgrades in one process against one simulated camera, under
# ASan (leaks at exit) and under valgrind memcheck, with no growth of
# threads, descriptors or resident memory and no unpack folder left.
# Needs root (a network namespace of its own).
#   scripts/soak.sh [ASAN_JOBS [VALGRIND_JOBS]]   defaults: 100 and 10
#   scripts/soak.sh --short                      5 jobs under ASan only (CI)
# The library's log of each run: build/<preset>/soak.log.
set -uo pipefail
cd "$(dirname "$0")/.."

asanJobs=100
valgrindJobs=10
if [ "${1:-}" = --short ]; then
  asanJobs=5
  valgrindJobs=0
else
  asanJobs=${1:-100}
  valgrindJobs=${2:-10}
fi

build() {
  cmake --preset "$1" >/dev/null && cmake --build --preset "$1" --target soak >/dev/null
}

status=0
echo "=== soak: $asanJobs upgrades under ASan"
# A small quarantine, so that ASan's own hold on freed memory levels off
# early and resident memory can be judged.
build asan || exit 1
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:quarantine_size_mb=8" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  build/asan/bin/soak --jobs "$asanJobs" >build/asan/soak.log || status=1

if [ "$valgrindJobs" -gt 0 ]; then
  echo "=== soak: $valgrindJobs upgrades under valgrind memcheck"
  build default || exit 1
  # Resident memory under valgrind says more about valgrind than about us.
  valgrind --quiet --leak-check=full --errors-for-leak-kinds=definite,indirect \
    --show-leak-kinds=definite,indirect --error-exitcode=99 \
    build/default/bin/soak --jobs "$valgrindJobs" --rss-slack-kib 1000000 >build/default/soak.log || status=1
fi
[ $status -eq 0 ] && echo "soak clean" || echo "SOAK FAILED"
exit $status
