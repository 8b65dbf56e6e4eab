#!/usr/bin/env bash
# Builds the Debian package from the default build, installs it from a clean
# folder as a line host would, checks the installed files (the command starts,
# the system's Python imports the SDK's module, programs compile and link
# against the headers and pkg-config file, the installed command upgrades the
# installed camsim), and removes the package again. Needs root (apt, port
# 69); as another user it only builds the package.
# Usage: scripts/package-deb.sh [--only-build] [build folder]   (default: build/default)
# Leaves the package in <build folder>/package/.
set -uo pipefail
cd "$(dirname "$0")/.."
only_build=0
[ "${1:-}" = --only-build ] && { only_build=1; shift; }
build=${1:-build/default}
out=$(realpath -m "$build/package")

echo "=== package: cpack -G DEB in $build"
if [ ! -f "$build/CPackConfig.cmake" ]; then
  echo "no $build/CPackConfig.cmake: configure and build that folder first"
  exit 1
fi
rm -rf "$out"
if ! cpack -G DEB -B "$out" --config "$build/CPackConfig.cmake" >"$build/cpack.log" 2>&1; then
  cat "$build/cpack.log"
  exit 1
fi
debs=("$out"/camupgrade_*.deb)
deb=$(realpath "${debs[0]}")
dpkg-deb -f "$deb" Package Version Depends
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print "  " $6 }'

[ $only_build -eq 1 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "package: not root, so not installed and not tried (apt and port 69 need root)"
  exit 0
fi
if dpkg-query -W -f='${Status}' camupgrade 2>/dev/null | grep -q "ok installed"; then
  echo "package: camupgrade is already installed on this machine; not replacing it"
  exit 1
fi

# jq reads the command's JSON; scripts/deps.sh does not install it.
command -v jq >/dev/null ||
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends jq >/dev/null || exit 1

work=$(mktemp -d)
# apt's chatter goes to a log, shown when it fails.
apt_get() {
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 -y -qq "$@" >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; return 1; }
}
cleanup() {
  if dpkg-query -W -f='${Status}' camupgrade 2>/dev/null | grep -q "ok installed"; then
    apt_get purge camupgrade
  fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "=== package: apt-get install ./$(basename "$deb") from a clean folder"
cp "$deb" "$work/"
if ! (cd "$work" && apt_get install ./camupgrade_*.deb); then
  echo "package: apt-get install failed"
  exit 1
fi
installed=$(dpkg -L camupgrade)
failed=()

echo "=== package: camupgrade --version (the installed command with the installed library)"
version=$(dpkg-deb -f "$deb" Version)
if ! camupgrade --version >"$work/version.txt" 2>&1 || [ "$(command -v camupgrade)" != /usr/bin/camupgrade ] ||
   ! grep -q "library $version" "$work/version.txt"; then
  failed+=(version)
fi
cat "$work/version.txt"

echo "=== package: the SDK from the system's Python and from a C++ host"
sdk_version=$(cd / && PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -c "import camupgrade; print(camupgrade.version())" 2>&1)
echo "  camupgrade.version(): $sdk_version"
[ "$sdk_version" = "$version" ] || failed+=(python)
cat >"$work/sdk.cpp" <<'EOF2'
#include <camupgrade_sdk.hpp>
int main() { return camupgrade::version().empty() ? 1 : 0; }
EOF2
c++ -std=c++17 -o "$work/sdk" "$work/sdk.cpp" -lcamupgrade-sdk && "$work/sdk" || failed+=(sdk-header)

echo "=== package: man camupgrade, the bash completion, the documentation"
command -v man >/dev/null || apt_get install --no-install-recommends man-db || exit 1
if ! MANPAGER=cat MANWIDTH=100 man camupgrade 2>/dev/null | grep -q -- "--stop-after"; then
  failed+=(man)
fi
completion=/usr/share/bash-completion/completions/camupgrade
words=$(bash -c "source '$completion' && COMP_WORDS=(camupgrade --can) COMP_CWORD=1 && _camupgrade && echo \${COMPREPLY[*]}" 2>&1)
[ "$words" = --canary ] || { echo "completion of --can: $words"; failed+=(completion); }
for doc in README.md sdk.md fleet.md history.md upgrade-line.yml; do
  [ -f "/usr/share/doc/camupgrade/$doc" ] || failed+=("doc:$doc")
done

echo "=== package: a host program built against the installed header and pkg-config file"
cat >"$work/host.cpp" <<'EOF'
#include <camupgrade.h>
int main() { return GetUpdateStatus() > 100 ? 1 : 0; }
EOF
# /usr/include and /usr/lib are searched anyway: check where the file points.
where() { realpath -m "$(pkg-config --variable="$1" camupgrade)"; }
if [ "$(where includedir)" != /usr/include ] || [ "$(where libdir)" != "$(dirname "$(grep '/libcamupgrade.so$' <<<"$installed")")" ] ||
   ! c++ -o "$work/host" "$work/host.cpp" $(pkg-config --cflags --libs camupgrade) || ! "$work/host"; then
  echo "pkg-config says: $(pkg-config --cflags --libs camupgrade 2>&1)"
  failed+=(pkg-config)
fi

echo "=== package: /usr/bin/camupgrade upgrades /usr/bin/camsim on 127.0.0.2 (own network namespace)"
head -c $((256 * 1024)) /dev/urandom >"$work/app.bin"
/usr/bin/camsim make-package -o "$work/firmware.zip" --image "$work/app.bin" --version 2.1.0 >/dev/null
cat >"$work/upgrade.sh" <<EOF
set -u
ip link set lo up
/usr/bin/camsim --ip 127.0.0.2 --flash-ms 300 --restart-ms 500 --run-for 60 >"$work/camera.log" 2>&1 &
camera=\$!
sleep 0.5
cd "$work"
/usr/bin/camupgrade --camera 127.0.0.2 --package "$work/firmware.zip" --json --history "$work/history.sqlite" \
  >"$work/upgrade.json" 2>"$work/upgrade.log"
rc=\$?
kill \$camera 2>/dev/null
wait \$camera 2>/dev/null
exit \$rc
EOF
unshare --net bash "$work/upgrade.sh"
rc=$?
tail -3 "$work/upgrade.log" | sed 's/^/  /'
if [ $rc -ne 0 ] ||
   ! jq -e '[.[] | [.camera, .verdict, .version_after]] == [["127.0.0.2", "upgraded", "2.1.0"]]' "$work/upgrade.json" >/dev/null; then
  echo "installed camupgrade exited with $rc, expected 0 and the camera on 2.1.0:"
  cat "$work/upgrade.json" "$work/camera.log"
  failed+=(upgrade)
fi
sum=$(sha256sum "$work/firmware.zip" | cut -d' ' -f1)
if ! camupgrade history --history "$work/history.sqlite" --json |
     jq -e --arg sum "$sum" '[.[] | [.camera, .verdict, .package_sha256]] == [["127.0.0.2", "upgraded", $sum]]' >/dev/null; then
  echo "the history does not hold the upgrade with the package's SHA-256:"
  camupgrade history --history "$work/history.sqlite" --json
  failed+=(history)
fi

echo "=== package: apt-get purge camupgrade"
apt_get purge camupgrade
left=$(echo "$installed" | while read -r f; do [ -f "$f" ] || [ -L "$f" ] && echo "$f"; done)
if [ -n "$left" ]; then
  echo "left behind after removal: $left"
  failed+=(remove)
fi

if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED: package(${failed[*]})"
  exit 1
fi
echo "Package built, installed, tried and removed: $(basename "$deb")"
