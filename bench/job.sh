#!/usr/bin/env bash
# Whole-job benchmarks: the time split of one 16 MiB upgrade, then the host's
# peak memory for a 16 and a 256 MiB image (camera in another process, so
# only the host is measured). Needs root (private network namespace).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" != "--inside" ]; then
  cmake --preset bench >/dev/null
  cmake --build --preset bench --target bench_job camsim >/dev/null
  exec unshare --net bash "$0" --inside
fi
ip link set lo up
bin=build/bench/bin
work=$(mktemp -d)
cam=""
trap '[ -n "$cam" ] && kill $cam 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT

"$bin/bench_job" timing 16

for mib in 16 256; do
  head -c $((mib << 20)) /dev/urandom > "$work/app.bin"
  "$bin/camsim" make-package -o "$work/fw$mib.zip" --image "$work/app.bin" >/dev/null
done
"$bin/camsim" --ip 127.0.0.2 --flash-ms 0 --restart-ms 0 --max-image-bytes $((300 << 20)) -q &
cam=$!
sleep 0.3
for mib in 16 256; do
  "$bin/bench_job" memory "$work/fw$mib.zip"
done
