#!/usr/bin/env bash
# Checks the fleet playbook (docs/fleet/upgrade-line.yml): its syntax always,
# and as root one run with `ansible-playbook -c local` in a network namespace
# of its own, two line hosts on this machine (taking turns with --forks 1,
# since both serve port 69): line1 upgrades every camera of its model that
# discovery finds, line2 a listed camera that refuses control. The run
# installs the Debian package (built from the default build when missing)
# and the package is purged again at the end. Paths on the playbook's command
# line are relative to the folder it runs in, as a user gives them. Then the
# fleet report and the history rows it gathered are checked, nothing may be
# left in /var/tmp/camupgrade-fleet, and the failed camera is re-run twice as
# docs/fleet.md says: by the playbook with rerun_from, and by hand with the
# documented recipe (each camera's own package, from the JSON). The hosts'
# histories are files of the check, never the machine's own.
# Usage: scripts/fleet-check.sh [build folder]   (default: build/default)
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/${1:-build/default}
playbook=$root/docs/fleet/upgrade-line.yml

# The playbook's runner and the reports' reader; scripts/deps.sh installs neither.
for need in ansible-playbook:ansible-core jq:jq; do
  command -v "${need%%:*}" >/dev/null && continue
  if [ "$(id -u)" -ne 0 ]; then
    echo "fleet: ${need%%:*} is missing (Debian: ${need#*:})"
    exit 1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need#*:}" >/dev/null || exit 1
done

echo "=== fleet: ansible-playbook --syntax-check"
ansible-playbook --syntax-check -i "$root/docs/fleet/inventory.ini" "$playbook" || exit 1

if [ "$(id -u)" -ne 0 ]; then
  echo "fleet: not root, so the playbook is not run (apt, port 69 and a network namespace need root)"
  exit 0
fi
help=$("$build/bin/camupgrade" --help 2>&1)
if ! grep -q -- --json <<<"$help" || ! grep -q -- --all <<<"$help"; then
  echo "fleet: this camupgrade has no --json or --all; the playbook is not run"
  exit 0
fi
if dpkg-query -W -f='${Status}' camupgrade 2>/dev/null | grep -q "ok installed"; then
  echo "fleet: camupgrade is already installed on this machine; not running the playbook over it"
  exit 1
fi
debs=("$build"/package/camupgrade_*.deb)
if [ ! -f "${debs[0]}" ]; then
  "$root/scripts/package-deb.sh" --only-build "$build" >/dev/null || exit 1
  debs=("$build"/package/camupgrade_*.deb)
fi

work=$(mktemp -d)
cleanup() {
  if dpkg-query -W -f='${Status}' camupgrade 2>/dev/null | grep -q "ok installed"; then
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 purge -y -qq camupgrade >/dev/null 2>&1
  fi
  rm -rf "$work"
}
trap cleanup EXIT

camsim=$build/bin/camsim
head -c $((256 * 1024)) /dev/urandom >"$work/app.bin"
"$camsim" make-package -o "$work/fw-2.1.0.zip" --image "$work/app.bin" --version 2.1.0 >/dev/null || exit 1
cat >"$work/inventory.ini" <<EOF
[lines]
line1 model=LC-A history_file=$work/line1.sqlite
line2 cameras='["127.0.0.4"]' history_file=$work/line2.sqlite

[lines:vars]
ansible_connection=local
ansible_become=false
ansible_python_interpreter=/usr/bin/python3
EOF
cat >"$work/run.sh" <<EOF
set -u
ip link set lo up
"$camsim" --ip 127.0.0.2 --ip 127.0.0.3 --model LC-A --flash-ms 300 --restart-ms 500 --run-for 600 \
  >"$work/line1-cameras.log" 2>&1 &
a=\$!
"$camsim" --ip 127.0.0.4 --model LC-B --refuse-control --run-for 600 >"$work/line2-cameras.log" 2>&1 &
b=\$!
sleep 0.5
cd "$work"
cp "${debs[0]}" .
ANSIBLE_NOCOLOR=1 ansible-playbook -i inventory.ini "$playbook" --forks 1 \
  -e camupgrade_deb="$(basename "${debs[0]}")" -e firmware=fw-2.1.0.zip \
  >"$work/playbook.log" 2>&1
rc=\$?
[ ! -e /var/tmp/camupgrade-fleet ] || ls -a /var/tmp/camupgrade-fleet >left.txt
ANSIBLE_NOCOLOR=1 ansible-playbook -i inventory.ini "$playbook" --forks 1 \
  -e camupgrade_deb="$(basename "${debs[0]}")" -e firmware=fw-2.1.0.zip \
  -e rerun_from=fleet-report/fleet.json -e report_dir=again-report \
  >"$work/playbook-again.log" 2>&1 || rc=\$?
[ ! -e /var/tmp/camupgrade-fleet ] || ls -a /var/tmp/camupgrade-fleet >>left.txt
# The docs' re-run of the cameras that did not upgrade, from a line's JSON.
camupgrade --camera 127.0.0.4 --package fw-2.1.0.zip --json --no-history >line2.json 2>/dev/null
jq -r '.[] | select(.verdict != "upgraded") | "\\(.camera) \\(.package) \\(.name)"' line2.json >failed.txt
camupgrade --cameras failed.txt --json --no-history >rerun.json 2>rerun.log
echo \$? >rerun.rc
kill \$a \$b 2>/dev/null
wait \$a \$b 2>/dev/null
exit \$rc
EOF
echo "=== fleet: ansible-playbook -c local, two line hosts, three cameras, then the re-run (own network namespace)"
t=$SECONDS
unshare --net bash "$work/run.sh"
rc=$?
echo "fleet: playbook and re-run took $((SECONDS - t)) s"
sed -n '/TASK \[Summary\]/,/^$/p' "$work/playbook.log"

failed=()
[ $rc -eq 0 ] || failed+=("playbook exited with $rc")
report=$work/fleet-report/fleet.json
expect() {  # <what> <jq filter that must print true>
  jq -e "$2" "$report" >/dev/null 2>&1 || failed+=("$1")
}
expect "three rows" 'length == 3'
expect "line1 upgraded both LC-A cameras to 2.1.0" \
  '[.[] | select(.host == "line1" and .verdict == "upgraded" and .version_after == "2.1.0") | .camera] | sort == ["127.0.0.2", "127.0.0.3"]'
expect "line2 reports its camera not upgraded, exit code 3 (control refused)" \
  '[.[] | select(.host == "line2") | [.camera, .verdict != "upgraded", .exit_code]] == [["127.0.0.4", true, 3]]'
[ "$(jq -c '[.[] | [.host, .camera, .exit_code]]' "$work/again-report/fleet.json" 2>/dev/null)" = \
  '[["line2","127.0.0.4",3]]' ] || failed+=("the playbook's re-run upgrades line2's camera only")
[ "$(wc -l <"$work/fleet-report/fleet.csv" 2>/dev/null)" = 4 ] || failed+=("fleet.csv has a header and three rows")
grep -qx "127.0.0.4 $work/fw-2.1.0.zip.*" "$work/failed.txt" 2>/dev/null ||
  failed+=("the re-run list is 127.0.0.4 with its own package")
[ ! -s "$work/left.txt" ] ||
  failed+=("nothing left in /var/tmp/camupgrade-fleet: $(cat "$work/left.txt")")
[ "$(jq -c '[.[] | [.line_host, .camera, .verdict]] | sort' "$work/fleet-report/history.json" 2>/dev/null)" = \
  '[["line1","127.0.0.2","upgraded"],["line1","127.0.0.3","upgraded"],["line2","127.0.0.4","failed"]]' ] ||
  failed+=("history.json holds each host's rows of the run")
[ "$(cat "$work/rerun.rc" 2>/dev/null)" = 3 ] &&
  jq -e '[.[] | .camera] == ["127.0.0.4"]' "$work/rerun.json" >/dev/null 2>&1 ||
  failed+=("the re-run gives one object for 127.0.0.4 and exit code 3")

if [ ${#failed[@]} -ne 0 ]; then
  cat "$work/playbook.log" "$work/playbook-again.log"
  for f in fleet-report/fleet.json rerun.json rerun.log line1-cameras.log line2-cameras.log; do
    echo "--- $f"
    cat "$work/$f" 2>/dev/null
  done
  printf 'FAILED: fleet: %s\n' "${failed[@]}"
  exit 1
fi
echo "Fleet playbook ran on two line hosts; the report and the re-run are as expected"
