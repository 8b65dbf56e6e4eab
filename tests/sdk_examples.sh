#!/usr/bin/env bash
# The three examples of examples/ against camsim in a network namespace of
# their own: each upgrades its own camera from 1.0.0 to 2.1.0, then a second
# run finds its camera current and commands nothing.
# Usage: tests/sdk_examples.sh CAMSIM PYTHON EXAMPLE...  (an example ending in
# .py runs under PYTHON). Exit 77 (skipped) without root.
set -u
if [ "${1:-}" != --inside ]; then
  [ "$(id -u)" -eq 0 ] || { echo "skipped: a network namespace needs root"; exit 77; }
  exec unshare --net "$0" --inside "$@"
fi
camsim=$2 python=$3
shift 3
ip link set lo up
work=$(mktemp -d)
trap 'kill $camera 2>/dev/null; wait $camera 2>/dev/null; rm -rf "$work"' EXIT
head -c $((128 * 1024)) /dev/urandom >"$work/app.bin"
"$camsim" make-package -o "$work/fw.zip" --image "$work/app.bin" --version 2.1.0 >/dev/null || exit 1
ips=()
for i in $(seq $#); do ips+=(--ip 127.0.0.$((i + 1))); done
"$camsim" "${ips[@]}" --flash-ms 300 --restart-ms 500 --run-for 120 >"$work/camsim.log" 2>&1 &
camera=$!
sleep 0.5

failed=()
i=1
for example in "$@"; do
  ip=127.0.0.$((i + 1)) i=$((i + 1))
  run=("$example")
  [[ $example == *.py ]] && run=("$python" "$example")
  for round in upgrade current; do
    "${run[@]}" "$ip" "$work/fw.zip" 2.1.0 127.0.0.1 >"$work/out" 2>&1
    rc=$?
    sed "s|^|  $(basename "$example") $round: |" "$work/out"
    case $round in
      upgrade) grep -q "runs firmware 1.0.0; upgrading to 2.1.0" "$work/out" &&
               grep -q "$ip: firmware 2.1.0" "$work/out" ;;
      current) grep -q "runs firmware 2.1.0 already" "$work/out" ;;
    esac || rc=1
    [ $rc -eq 0 ] || failed+=("$(basename "$example") $round")
  done
done
if [ ${#failed[@]} -ne 0 ]; then
  cat "$work/camsim.log"
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "every example upgraded its camera once"
