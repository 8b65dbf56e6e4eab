#!/usr/bin/env bash
# The fault matrix: whole upgrades by the real command (camupgrade --json)
# against simulated cameras (camsim) under one fault per cell. Each cell runs
# in network and mount namespaces of its own; it is green when the command
# ends in time with the exit code expected, its JSON says the same for every
# camera, no camera is left controlled, a refused camera was never
# commanded, and nothing is left in the temporary folder. Needs root, jq, nft.
#   scripts/fault-matrix.sh [--preset P | --bin DIR] [--short | --many] [--only CELL]
# --short: the cells CI runs; --many: the cells with eight cameras; --bin: the
# programs in DIR (an installed camupgrade and camsim) instead of a build.
# Logs: build/<preset>/fault-matrix-logs/ (with --bin: build/fault-matrix-logs/).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
root=$PWD

# One cell a line: name | when | setup | command options | cameras | fault.
# when: ci (--short and the full run), full (the full run), many (--many).
# cameras: groups separated by ';', each "LAST-OCTETS EXIT [camsim knobs]":
# cameras 127.0.0.<octet> in one camsim process, and the exit code the
# command must report for each of them. Cameras flash and restart at once
# unless the knobs say otherwise.
CELLS='
loss-0          |ci  |          |              |2 0                                        |no loss, no latency
loss-5          |ci  |          |              |2 0 --gvcp-loss 0.05 --data-loss 0.05 --seed 11 |5 % of GVCP requests and data blocks lost
loss-10         |full|          |              |2 0 --gvcp-loss 0.1 --data-loss 0.1 --seed 11   |10 % lost
loss-20         |full|          |              |2 0 --gvcp-loss 0.2 --data-loss 0.2 --seed 11   |20 % lost
kernel-loss-5   |ci  |nft-loss  |              |2 0                                        |5 % of every UDP datagram dropped by the kernel, both ways
latency-1       |full|          |              |2 0 --latency-ms 1                         |every GVCP reply 1 ms late
latency-10      |ci  |          |              |2 0 --latency-ms 10                        |every GVCP reply 10 ms late
pending         |full|          |              |2 0 --pending all --pending-ms 400         |every GVCP command acknowledged pending first (400 ms)
duplicate       |ci  |          |              |2 0 --ack-fault duplicate                  |every GVCP acknowledge sent twice
stale           |full|          |              |2 0 --ack-fault stale                      |the previous acknowledge before every one
restart-mid     |full|          |              |2 0 --restart-mid-transfer --restart-ms 1000 |restart halfway through the image (1 s)
restart-command |ci  |          |              |2 0 --restart-on-command --restart-ms 1000   |restart right after the upgrade command (1 s)
gone            |ci  |          |--inactivity 8|2 18 --never-return                       |gone for good after the restart (8 s without a sign)
refused-control |ci  |          |              |2 3 --refuse-control                       |control refused (another application holds it)
port-69-taken   |ci  |port-69   |              |2 4                                        |UDP port 69 already bound (a TFTP server runs)
bad-package     |ci  |garbage   |              |2 2                                        |a package that cannot be unpacked
bad-package-force|full|garbage  |--force       |2 2                                        |the same, with --force: still refused (--force serves nothing any more)
tmp-full        |full|small-tmp |              |2 2                                        |the temporary folder runs out of space (256 KiB tmpfs, 1 MiB image)
sigterm-flashing|ci  |sigterm   |              |2 143 --flash-ms 20000                     |SIGTERM 1.5 s after the start, while the camera flashes (20 s)
many-clean      |many|          |              |2,3,4,5,6,7,8,9 0                          |eight cameras, no fault
many-faults     |many|          |--inactivity 8|2,3,4,5,6 0 ; 7 3 --refuse-control ; 8 18 --never-return ; 9 0 --data-loss 0.2 --seed 11 |eight cameras: one refusing control, one gone after its restart, one with 20 % data loss
'
IMAGE_BYTES=65536
PACKAGE_VERSION=2.1.0
# A camera with no fault, in a cell with eight, must be done in this time:
# one that waited for a faulty neighbour would take the fault's time.
NORMAL_SECONDS=${NORMAL_SECONDS:-4}

trim() { local s=$1; s=${s#"${s%%[![:space:]]*}"}; printf '%s' "${s%"${s##*[![:space:]]}"}"; }

# Sets name when setup options cameras fault for the cell of that name.
cell() {
  while IFS='|' read -r name when setup options cameras fault; do
    name=$(trim "$name")
    [ "$name" = "$1" ] || continue
    when=$(trim "$when"); setup=$(trim "$setup"); options=$(trim "$options")
    cameras=$(trim "$cameras"); fault=$(trim "$fault")
    return 0
  done <<<"$CELLS"
  return 1
}

cellNames() { sed -n 's/^\([a-z0-9-]*\) *|.*/\1/p' <<<"$CELLS"; }

# The exit code of the whole run: the first failure in the list, else 0.
expectedExit() {
  local group code
  IFS=';' read -ra groups <<<"$cameras"
  for group in "${groups[@]}"; do
    read -r _ code _ <<<"$group"
    [ "$code" != 0 ] && { echo "$code"; return; }
  done
  echo 0
}

# ---- inside the cell's namespaces -------------------------------------------

waitForLine() {  # file pattern count seconds
  local i
  for ((i = 0; i < $4 * 10; ++i)); do
    [ "$(grep -c -- "$2" "$1" 2>/dev/null)" -ge "$3" ] && return 0
    sleep 0.1
  done
  return 1
}

makePackage() {  # folder image-bytes
  head -c "$2" /dev/urandom >"$1/app.bin"
  "$bin/camsim" make-package -o "$1/fw.zip" --image "$1/app.bin" --version "$PACKAGE_VERSION" >/dev/null
}

# What the cell needs before the cameras start; sets package.
prepare() {
  local image=$IMAGE_BYTES
  case $setup in
    nft-loss)
      # Unlike the camera's own loss knobs, this loses acknowledges too: the
      # host repeats a request the camera has already carried out.
      nft add table inet camfault &&
        nft 'add chain inet camfault in { type filter hook input priority 0; }' &&
        nft add rule inet camfault in meta l4proto udp numgen random mod 100 '<' 5 drop || return 1 ;;
    port-69)
      mkdir -p "$dir/tftp"
      /usr/sbin/in.tftpd -4 -L -a :69 -s "$dir/tftp" &
      pids+=($!)
      sleep 0.2 ;;
    small-tmp)
      mount -t tmpfs -o size=256k,mode=0755 tmpfs "$TMPDIR" || return 1
      image=$((1024 * 1024)) ;;
  esac
  if [ "$setup" = garbage ]; then
    package=$dir/broken.zip
    printf 'PK\003\004 but nothing of an archive after it' >"$package"
  else
    makePackage "$dir" "$image" || return 1
    package=$dir/fw.zip
  fi
}

startCameras() {
  local group octets knobs n=0 ip args count
  IFS=';' read -ra groups <<<"$cameras"
  for group in "${groups[@]}"; do
    read -r octets _ knobs <<<"$group"
    args=()
    for ip in ${octets//,/ }; do args+=(--ip "127.0.0.$ip"); done
    count=$((${#args[@]} / 2))
    [[ $knobs == *--restart-ms* ]] || args+=(--restart-ms 0)
    [[ $knobs == *--flash-ms* ]] || args+=(--flash-ms 0)
    # shellcheck disable=SC2086  # the knobs are words
    "$bin/camsim" "${args[@]}" $knobs >"$dir/camsim.$n.log" 2>&1 &
    pids+=($!)
    waitForLine "$dir/camsim.$n.log" "answering on" "$count" 10 ||
      { echo "camsim did not start: $(tail -1 "$dir/camsim.$n.log")"; return 1; }
    n=$((n + 1))
  done
}

# Expected cameras as JSON: [{camera, exit}], in the command line's order.
wanted() {
  local group octets code knobs ip
  IFS=';' read -ra groups <<<"$cameras"
  for group in "${groups[@]}"; do
    read -r octets code knobs <<<"$group"
    # A camera without a fault of its own sets the others' pace.
    for ip in ${octets//,/ }; do
      printf '{"camera":"127.0.0.%s","exit":%s,"normal":%s}\n' "$ip" "$code" "$([ -z "$knobs" ] && echo true || echo false)"
    done
  done | jq -s .
}

# Prints one line per problem with the command's JSON.
checkJson() {  # json-file wanted-json
  jq -rs --argjson want "$2" --argjson image "$IMAGE_BYTES" --arg version "$PACKAGE_VERSION" \
    --argjson normal "$NORMAL_SECONDS" --argjson many "$(jq length <<<"$2")" '
    # A camera that does not answer the pre-flight is refused; one that
    # refuses control when the job takes it has failed; neither was commanded.
    def verdicts: if . == 0 then ["upgraded"] elif . == 130 or . == 143 then ["cancelled"]
                  elif . >= 10 then ["failed"] elif . == 3 then ["refused", "failed"] else ["refused"] end;
    def state: if . == 0 then 0 elif . >= 10 then . - 10 else null end;
    def keys_: ["camera","name","model","serial","version_before","version_after","verdict",
                "state","exit_code","message","seconds","bytes_served"];
    if length != 1 or (.[0] | type) != "array" then "the output is not one JSON array"
    elif (.[0] | length) != ($want | length) then "\(.[0] | length) objects for \($want | length) cameras"
    else .[0] as $out | $want[] | . as $w | [$out[] | select(.camera == $w.camera)] as $m
      | if ($m | length) != 1 then "\($w.camera): \($m | length) objects"
        else $m[0] | ((keys_ - keys)[] | "\($w.camera): no \(.)")
        , (select(.exit_code != $w.exit) | "\($w.camera): exit_code \(.exit_code), expected \($w.exit)")
        , (select(.verdict as $v | $w.exit | verdicts | index($v) | not)
           | "\($w.camera): verdict \(.verdict), expected \($w.exit | verdicts | join(" or "))")
        , (select($w.exit != 143 and .state != ($w.exit | state)) | "\($w.camera): state \(.state), expected \($w.exit | state)")
        , (select(.verdict == "upgraded" and (.version_before != "1.0.0" or .version_after != $version))
           | "\($w.camera): version \(.version_before) -> \(.version_after)")
        , (select(.verdict == "upgraded" and .bytes_served < $image) | "\($w.camera): served \(.bytes_served) bytes")
        , (select($w.exit > 1 and $w.exit < 10 and .bytes_served != 0) | "\($w.camera): served though refused")
        , (select($many > 1 and $w.normal and .seconds > $normal)
           | "\($w.camera): \(.seconds) s, held up by another camera")
        end
    end' "$1" 2>&1
}

# Runs the cell named $1 inside fresh namespaces; prints "SECONDS PROBLEM...".
inCell() {
  cell "$1" || { echo "0 no cell $1"; return; }
  ip link set lo up
  # The command's port-69 lock lives there: a cell's own, to see it go.
  mount -t tmpfs -o size=64k tmpfs /run/lock
  dir=$(mktemp -d "/tmp/fault-matrix.$1.XXXXXX")
  export TMPDIR=$dir/tmp
  mkdir -p "$TMPDIR"
  pids=()
  local problems=() args=() rc=0 want limit t0 t1 ip
  prepare >"$dir/setup.log" 2>&1 || problems+=("SETUP: $(tail -1 "$dir/setup.log")")
  [ ${#problems[@]} -eq 0 ] && { startCameras >>"$dir/setup.log" || problems+=("SETUP: $(tail -1 "$dir/setup.log")"); }
  if [ ${#problems[@]} -eq 0 ]; then
    want=$(wanted)
    for ip in $(jq -r '.[].camera' <<<"$want"); do args+=(--camera "$ip"); done
    [[ $options == *--inactivity* ]] || options+=" --inactivity 30"
    # Loss cells run for about a minute; anything over the limit hangs.
    limit=$((150 + $(sed -n 's/.*--inactivity \([0-9]*\).*/\1/p' <<<"$options")))
    t0=$(date +%s.%N)
    # shellcheck disable=SC2086
    (cd "$dir" && exec timeout -k 5 "$limit" "$bin/camupgrade" "${args[@]}" --package "$package" \
       --host 127.0.0.1 $options --json --history "$dir/history.sqlite" </dev/null >"$dir/out.json" 2>"$dir/camupgrade.log") &
    runner=$!
    # To the command itself: timeout would hand it on to its process group
    # as well, which the command takes for a second signal.
    [ "$setup" = sigterm ] && sleep 1.5 && kill -TERM "$(pgrep -P $runner)"
    wait $runner
    rc=$?
    t1=$(date +%s.%N)
    [ "$setup" = sigterm ] && awk "BEGIN { exit !($t1 - $t0 > 8) }" &&
      problems+=("the command took $(awk "BEGIN { print $t1 - $t0 - 1.5 }") s to cancel")
    if [ $rc = 124 ] || [ $rc = 137 ]; then
      problems+=("HANG (over $limit s)")
    elif [ $rc != "$(expectedExit)" ]; then
      problems+=("exit $rc, expected $(expectedExit): $(tail -1 "$dir/camupgrade.log")")
    fi
    [ $rc = 124 ] || [ $rc = 137 ] || while IFS= read -r p; do problems+=("$p"); done < <(checkJson "$dir/out.json" "$want")
    for ip in $(jq -r '.[].camera' <<<"$want"); do
      # Released, lost to a restart or to silence: anything but still held.
      cat "$dir"/camsim.*.log | grep -E "^\S+ $ip +control +control " | tail -1 | grep -q "control taken" &&
        problems+=("$ip: control not given back")
    done
    for ip in $(jq -r '.[] | select(.exit > 1 and .exit < 10) | .camera' <<<"$want"); do
      grep -qE "^\S+ $ip +upgrade +upgrade command" "$dir"/camsim.*.log &&
        problems+=("$ip: commanded though refused")
    done
  fi
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  # An empty unpack area may stay; anything in it, or beside it, is a leftover.
  left=$(cd "$TMPDIR" && find . -mindepth 1 -not -path ./Quarnel.tmp | head -3 | tr '\n' ' ')
  [ -n "$left" ] && problems+=("left in the temporary folder: $left")
  mountpoint -q "$TMPDIR" && umount "$TMPDIR"
  left=$(find /run/lock -mindepth 1 | tr '\n' ' ')
  [ -n "$left" ] && problems+=("left behind: $left")
  for f in "$dir"/*.log "$dir"/out.json; do [ -e "$f" ] && mv "$f" "$logs/$1.$(basename "$f")"; done
  rm -rf "$dir"
  printf '%s %s\n' "$(awk "BEGIN { printf \"%.1f\", ${t1:-0} - ${t0:-0} }")" "$(IFS=';'; echo "${problems[*]}")"
}

# ---- the matrix --------------------------------------------------------------

preset=default
bin=""
mode=full
only=""
while [ $# -gt 0 ]; do
  case $1 in
    --preset) preset=$2; shift 2 ;;
    --bin) bin=$(realpath "$2"); shift 2 ;;
    --short) mode=ci; shift ;;
    --many) mode=many; shift ;;
    --only) only=$2; shift 2 ;;
    --in-cell) bin=$3; logs=$4; inCell "$2"; exit 0 ;;
    *) echo "usage: $0 [--preset P | --bin DIR] [--short | --many] [--only CELL]" >&2; exit 2 ;;
  esac
done
[ "$(id -u)" = 0 ] || { echo "the fault matrix needs root (namespaces, port 69, nftables)" >&2; exit 2; }
command -v jq >/dev/null || { echo "the fault matrix needs jq (scripts/deps.sh)" >&2; exit 2; }
if [ -z "$bin" ]; then
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset" --target camsim camupgrade_cli >/dev/null; then
    echo "build failed" >&2
    exit 1
  fi
  bin=$root/build/$preset/bin
  logs=$root/build/$preset/fault-matrix-logs
else
  logs=$root/build/fault-matrix-logs
fi
mkdir -p "$logs"

# Sanitizer reports must not pass for one of the command's exit codes.
export ASAN_OPTIONS="exitcode=97:detect_leaks=1" UBSAN_OPTIONS="halt_on_error=1:exitcode=97"
cells=0
failed=0
for name in $(cellNames); do
  cell "$name"
  if [ -n "$only" ]; then [ "$name" = "$only" ] || continue
  elif [ "$mode" = ci ]; then [ "$when" = ci ] || continue
  elif [ "$mode" = many ]; then [ "$when" = many ] || continue
  elif [ "$when" = many ]; then continue
  fi
  read -r seconds problem < <(unshare --net --mount bash "$0" --in-cell "$name" "$bin" "$logs")
  result=${problem:-ok}
  [ -n "$problem" ] && failed=$((failed + 1))
  cells=$((cells + 1))
  printf '%-17s %6s s  exit %-3s  %s\n' "$name" "$seconds" "$(expectedExit)" "$result"
done
[ $cells -gt 0 ] || { echo "no cell named $only" >&2; exit 2; }
echo "$cells cells, $failed failed"
[ $failed = 0 ]
