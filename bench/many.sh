#!/usr/bin/env bash
# Many cameras in one job: how the wall time, the host's peak memory and its
# thread count grow from 1 to 8 to 32 cameras. One camsim process serves all
# 32 cameras (16 MiB image, no flash or restart time, so only the host and the
# transfers are measured); each round runs N = 1, 8, 32 one after another, in
# a fresh process each, so the peak RSS belongs to that N and drift of the
# machine touches the three alike. The ratios are taken within a round and
# their median and spread over the rounds printed.
#   bench/many.sh [ROUNDS]      (default 3; root: private network namespace)
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-3}
if [ "${2:-}" != "--inside" ]; then
  cmake --preset bench >/dev/null
  cmake --build --preset bench --target bench_many camsim >/dev/null
  exec unshare --net bash "$0" "$rounds" --inside
fi
ip link set lo up
bin=build/bench/bin
work=$(mktemp -d)
cam=""
trap '[ -n "$cam" ] && kill $cam 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT

head -c $((16 << 20)) /dev/urandom > "$work/app.bin"
"$bin/camsim" make-package -o "$work/fw.zip" --image "$work/app.bin" >/dev/null
ips=()
for i in $(seq 2 33); do ips+=(--ip "127.0.0.$i"); done
# Bounded even if this script is stopped hard: camsim ends itself.
"$bin/camsim" "${ips[@]}" --flash-ms 0 --restart-ms 0 -q --run-for 1800 &
cam=$!
sleep 0.5

# The cameras' CPU seconds: on one machine they share the cores with the host.
camcpu() { awk '{printf "%.2f", ($14 + $15) / 100}' "/proc/$cam/stat"; }
for r in $(seq 1 "$rounds"); do
  for n in 1 8 32; do
    before=$(camcpu)
    line=$(timeout 300 "$bin/bench_many" "$n" "$work/fw.zip")
    line="$line camsim_s $(echo "$(camcpu) - $before" | bc)"
    echo "round $r: $line"
    echo "$r $line" >> "$work/results"
  done
done

python3 - "$work/results" <<'EOF'
import statistics, sys
rows = {}
for line in open(sys.argv[1]):
    f = line.split()
    rnd, kv = int(f[0]), dict(zip(f[1::2], f[2::2]))
    rows.setdefault(int(kv["cameras"]), {})[rnd] = kv
def spread(values):
    return "median %.2f  (%.2f .. %.2f)" % (statistics.median(values), min(values), max(values))
for n in (8, 32):
    ratios = [float(rows[n][r]["wall_ms"]) / float(rows[1][r]["wall_ms"]) for r in rows[1]]
    goal = 1.3 if n == 8 else 2.0
    print("wall time %2d cameras / 1: %s   goal <= %.1f" % (n, spread(ratios), goal))
print("   N  wall ms (median)  peak RSS KiB (median)  peak threads (max)  CPU s host / cameras (median)")
rss = {}
for n in sorted(rows):
    rss[n] = statistics.median(int(v["peak_rss_kib"]) for v in rows[n].values())
    wall = statistics.median(float(v["wall_ms"]) for v in rows[n].values())
    threads = max(int(v["peak_threads"]) for v in rows[n].values())
    cpu = statistics.median(float(v["user_s"]) + float(v["sys_s"]) for v in rows[n].values())
    cam = statistics.median(float(v["camsim_s"]) for v in rows[n].values())
    print("%4d  %15.0f  %21.0f  %18d  %11.2f / %.2f" % (n, wall, rss[n], threads, cpu, cam))
for n in (8, 32):
    print("RSS growth 1 -> %d: %.0f KiB per added camera   goal <= 1024"
          % (n, (rss[n] - rss[1]) / (n - 1)))
EOF
