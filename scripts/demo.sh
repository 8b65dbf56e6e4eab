#!/usr/bin/env bash
# The demo: builds camupgrade, makes a sample firmware package, starts a
# simulated camera on 127.0.0.2 and upgrades it, with live progress.
#
# The file service needs UDP port 69. As root the demo runs in a network
# namespace of its own (nothing else on the machine is touched and a TFTP
# server already on port 69 does not get in the way); otherwise it uses sudo.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [ "${1:-}" != "--inside" ]; then
  scripts/deps.sh
  echo "=== Building"
  cmake --preset default >/dev/null
  cmake --build --preset default --target camupgrade_cli camsim >/dev/null
  if [ "$(id -u)" -eq 0 ] && unshare --net true 2>/dev/null; then
    exec unshare --net bash "$0" --inside
  fi
  exec sudo bash "$0" --inside
fi

ip link set lo up 2>/dev/null || true
bin=$root/build/default/bin
work=$(mktemp -d)
camsim_pid=""
cleanup() {
  [ -n "$camsim_pid" ] && kill "$camsim_pid" 2>/dev/null && wait "$camsim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

echo "=== Making a sample firmware package (4 MiB image)"
head -c $((4 * 1024 * 1024)) /dev/urandom > "$work/app.bin"
"$bin/camsim" make-package -o "$work/firmware.zip" --image "$work/app.bin" --version 2.1.0

echo "=== Starting the simulated camera on 127.0.0.2 (flashes for 4 s, restarts in 5 s)"
"$bin/camsim" --ip 127.0.0.2 --flash-ms 4000 --restart-ms 5000 --run-for 300 \
  > "$work/camera.log" 2>&1 &
camsim_pid=$!
sleep 0.5

echo "=== Upgrading: camupgrade --host 127.0.0.1 --camera 127.0.0.2 --package firmware.zip"
set +e
"$bin/camupgrade" --host 127.0.0.1 --camera 127.0.0.2 --package "$work/firmware.zip" \
  --history "$work/history.sqlite"
rc=$?
set -e

echo "=== What the history keeps: camupgrade history"
"$bin/camupgrade" history --history "$work/history.sqlite" | sed 's/^/  /'

echo "=== What the camera did"
sed 's/^/  /' "$work/camera.log"
echo "=== camupgrade exited with $rc"
exit $rc
