#!/usr/bin/env bash
# Many cameras in one job: what the host pays per camera, and whether the job
# waits on anything but the processor. Each round runs N = 1, 8, 32, 64 one
# after another, each against a fresh camsim with N cameras (16 MiB image, no
# flash or restart time, so only the host and the transfers are measured) and
# a fresh process of bench_many, so peak RSS, threads and the cameras' request
# counts belong to that N. Per N the medians over the rounds:
#   host CPU s per camera, GVCP requests per camera per second (whole job),
#   threads and RSS per added camera, and the efficiency
#   wall ÷ ((host CPU + camera CPU) ÷ cores): 1.0 means the job took no
#   longer than its processor time shared over the cores, more means waiting.
# Then one run of the camupgrade command over 8 cameras that flash and restart
# for 3 s each: the GVCP requests per camera per second outside the transfer.
#   bench/many.sh [ROUNDS]      (default 3; root: private network namespace)
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-3}
if [ "${2:-}" != "--inside" ]; then
  cmake --preset bench >/dev/null
  cmake --build --preset bench --target bench_many camsim camupgrade_cli >/dev/null
  exec unshare --net bash "$0" "$rounds" --inside
fi
ip link set lo up
bin=build/bench/bin
work=$(mktemp -d)
cam=""
trap '[ -n "$cam" ] && kill $cam 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT

head -c $((16 << 20)) /dev/urandom > "$work/app.bin"
"$bin/camsim" make-package -o "$work/fw.zip" --image "$work/app.bin" >/dev/null

# Starts camsim with N cameras; bounded even if this script is stopped hard.
startCameras() {
  local ips=()
  for i in $(seq 2 $(($1 + 1))); do ips+=(--ip "127.0.0.$i"); done
  shift
  "$bin/camsim" "${ips[@]}" -q --summary --run-for 900 "$@" > "$work/cam.out" &
  cam=$!
  sleep 0.5
}
# Ends camsim; sets $counts to its CPU seconds and its summary's key-value
# pairs. Not in a subshell: only this shell can wait for camsim.
stopCameras() {
  local cpu
  cpu=$(awk '{printf "%.2f", ($14 + $15) / 100}' "/proc/$cam/stat")
  kill -TERM "$cam"
  wait "$cam" || true
  cam=""
  counts="camsim_s $cpu $(grep '^summary ' "$work/cam.out" | cut -d' ' -f2-)"
}

for r in $(seq 1 "$rounds"); do
  for n in 1 8 32 64; do
    startCameras "$n" --flash-ms 0 --restart-ms 0
    line=$(timeout 300 "$bin/bench_many" "$n" "$work/fw.zip")
    stopCameras
    line="$line $counts"
    echo "round $r: $line"
    echo "$r $line" >> "$work/results"
  done
done

# For comparison, one round with the back-to-back heartbeat CamUpgrade keeps.
for n in 1 8; do
  startCameras "$n" --flash-ms 0 --restart-ms 0
  line=$(timeout 300 "$bin/bench_many" "$n" "$work/fw.zip" --heartbeat 0)
  stopCameras
  echo "back to back: $line $counts" | tee -a "$work/b2b"
done

# The command as a user runs it, against cameras that flash and restart.
startCameras 8 --flash-ms 3000 --restart-ms 3000
cams=()
for i in $(seq 2 9); do cams+=(--camera "127.0.0.$i"); done
"$bin/camupgrade" "${cams[@]}" --package "$work/fw.zip" --host 127.0.0.1 -q >/dev/null || true
stopCameras
command=$counts
echo "command, 8 cameras: $command"

python3 - "$work/results" "$(nproc)" "$command" "$work/b2b" <<'EOF'
import statistics, sys
cores = int(sys.argv[2])
rows = {}
for line in open(sys.argv[1]):
    f = line.split()
    kv = dict(zip(f[1::2], f[2::2]))
    rows.setdefault(int(kv["cameras"]), []).append(kv)
med = statistics.median
def per(n, key):
    return med(float(v[key]) for v in rows[n])
print("%d rounds, %d cores, medians per N" % (len(rows[1]), cores))
print("   N  wall s  host CPU s/camera  camera CPU s  GVCP req/camera/s  threads  RSS MiB  efficiency")
for n in sorted(rows):
    host = [(float(v["user_s"]) + float(v["sys_s"])) for v in rows[n]]
    eff = [float(v["wall_ms"]) / 1000 / ((h + float(v["camsim_s"])) / cores) for v, h in zip(rows[n], host)]
    req = [float(v["requests"]) / n / (float(v["wall_ms"]) / 1000) for v in rows[n]]
    print("%4d  %6.2f  %17.3f  %12.2f  %17.1f  %7d  %7.1f  %10.2f"
          % (n, per(n, "wall_ms") / 1000, med(host) / n, per(n, "camsim_s"), med(req),
             max(int(v["peak_threads"]) for v in rows[n]), per(n, "peak_rss_kib") / 1024, med(eff)))
for n in sorted(rows)[1:]:
    print("1 -> %2d cameras: %.0f KiB RSS and %.1f threads per added camera"
          % (n, (per(n, "peak_rss_kib") - per(1, "peak_rss_kib")) / (n - 1),
             (per(n, "peak_threads") - per(1, "peak_threads")) / (n - 1)))
c = sys.argv[3].split()
c = dict(zip(c[0::2], c[1::2]))
print("camupgrade, 8 cameras flashing and restarting 3 s: %.1f GVCP requests per camera per second"
      " outside the transfer (%s requests in %s camera-seconds)"
      % (float(c["outside_requests"]) / float(c["outside_s"]), c["outside_requests"], c["outside_s"]))
for line in open(sys.argv[4]):
    f = line.split()[3:]
    kv = dict(zip(f[0::2], f[1::2]))
    n = int(kv["cameras"])
    print("back-to-back heartbeat, %2d camera(s): host CPU %.3f s per camera, %.0f GVCP requests"
          " per camera per second" % (n, (float(kv["user_s"]) + float(kv["sys_s"])) / n,
                                       float(kv["requests"]) / n / (float(kv["wall_ms"]) / 1000)))
print("goals: host CPU <= 0.25 s per camera; efficiency <= 1.15 at 8, 32, 64; <= 5 GVCP requests"
      " per camera per second outside the transfer; <= 1024 KiB RSS per added camera")
EOF
