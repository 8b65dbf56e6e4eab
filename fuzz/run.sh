#!/usr/bin/env bash
# Runs fuzz targets for a given time each, starting from the seeds in
# fuzz/corpus/<target>/ and keeping what they find in build/fuzz/work/.
#   fuzz/run.sh TARGET|all SECONDS
# Builds the targets with the fuzz preset first. Prints one summary line per
# target (executions and coverage from libFuzzer's final stats) and exits
# non-zero when a target found something; the reproducer is kept in
# build/fuzz/work/<target>/artifacts/.
set -uo pipefail
cd "$(dirname "$0")/.."

TARGETS=(fuzz_gvcp_ack fuzz_dispatch fuzz_transfer fuzz_package)
[ $# -eq 2 ] || { echo "usage: $0 TARGET|all SECONDS   (targets: ${TARGETS[*]})" >&2; exit 2; }
what=$1
seconds=$2
if [ "$what" = all ]; then
  selected=("${TARGETS[@]}")
else
  selected=("$what")
fi

cmake --preset fuzz >/dev/null || exit 1
cmake --build --preset fuzz --target "${selected[@]}" >/dev/null || { echo "fuzz build failed" >&2; exit 1; }

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

status=0
for target in "${selected[@]}"; do
  work=build/fuzz/work/$target
  mkdir -p "$work/corpus" "$work/artifacts"
  log=$work/last.log
  # Fresh findings go to the work corpus; the repository's seeds are read only.
  # libFuzzer's clock starts after the target's set-up: the outer limit
  # catches a set-up that never ends.
  timeout -k 10 $((seconds + 120)) build/fuzz/bin/"$target" "$work/corpus" "fuzz/corpus/$target" \
    -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" >"$log" 2>&1
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -E '^#[0-9]+' "$log" | tail -1 | sed -n 's/.*cov: \([0-9]*\).*ft: \([0-9]*\).*corp: \([0-9]*\).*/cov \1 ft \2 corpus \3/p')
  if [ $rc -eq 0 ]; then
    verdict="no finding"
  elif [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
    verdict="HUNG (no end after $((seconds + 120)) s), see $log"
    status=1
  else
    verdict="FINDING (exit $rc), see $log"
    status=1
  fi
  printf '%-14s %5ss  %10s execs  %-30s %s\n' "$target" "$seconds" "${runs:-?}" "${cov:-?}" "$verdict"
done
exit $status
