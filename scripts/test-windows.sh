#!/usr/bin/env bash
# The Windows step of CI: cross-builds camupgrade.dll, camupgrade-sdk.dll,
# camupgrade.exe and camsim.exe with mingw-w64, checks the DLLs' exports, runs
# the unit tests under wine, and upgrades a Linux camsim with camupgrade.exe +
# camupgrade.dll and with the SDK's C example + camupgrade-sdk.dll under wine,
# from a package of read-only entries, leaving nothing in %TEMP% but an empty
# Quarnel.tmp at most. Needs the Linux camsim (build/default/bin/camsim:
# scripts/test.sh builds it first; built here when missing).
# Usage: scripts/test-windows.sh
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
start=$SECONDS

scripts/deps.sh windows || exit 1
t=$SECONDS
scripts/build-libarchive-mingw.sh || exit 1
echo "=== windows: packages and libarchive in $((SECONDS - t)) s"

prefix=$root/build/windows/wineprefix
wine_run() { "$root/scripts/wine-run.sh" "$prefix" "$@"; }
failed=()
trap 'WINEPREFIX=$prefix wineserver -k 2>/dev/null' EXIT

echo "=== windows: configure and build"
t=$SECONDS
if ! cmake --preset windows >/dev/null || ! cmake --build --preset windows; then
  echo "FAILED: windows(build)"
  exit 1
fi
bin=$root/build/windows/bin

echo "=== windows: built in $((SECONDS - t)) s"
# The names a DLL exports, sorted, one space after each.
exports_of() {
  x86_64-w64-mingw32-objdump -p "$1" |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '$1 ~ /^\[/ && $2 ~ /^[0-9]+\]$/ { print $3 }' | sort | tr '\n' ' '
}
# dll, the names it must export exactly, and a word for the failure list.
check_dll() {
  local exports imports
  exports=$(exports_of "$bin/$1")
  if [ "$exports" = "$2" ]; then
    echo "$1 exports: $exports"
  else
    echo "$1 exports [$exports], expected exactly [$2]"
    failed+=("$3")
  fi
  imports=$(x86_64-w64-mingw32-objdump -p "$bin/$1" | awk '/DLL Name:/ { print $3 }' | tr '\n' ' ')
  echo "$1 imports: $imports"
  if echo "$imports" | grep -qiE 'libstdc|libgcc|libwinpthread'; then
    echo "$1 needs a MinGW runtime DLL"
    failed+=(static-runtime)
  fi
}
echo "=== windows: exports of camupgrade.dll and camupgrade-sdk.dll"
check_dll camupgrade.dll "CamUpgrade GetUpdateStatus " exports
check_dll camupgrade-sdk.dll "$(grep -o 'cu_[a-z_]*' cmake/camupgrade-sdk.map | sort | tr '\n' ' ')" sdk-exports

echo "=== windows: unit tests under wine"
t=$SECONDS
ctest --preset windows || failed+=(windows-tests)
echo "=== windows: unit tests took $((SECONDS - t)) s"

echo "=== windows: one upgrade of a Linux camsim by camupgrade.exe under wine"
camsim=$root/build/default/bin/camsim
if [ ! -x "$camsim" ]; then
  cmake --preset default >/dev/null && cmake --build --preset default --target camsim >/dev/null
fi
work=$(mktemp -d)
head -c $((512 * 1024)) /dev/urandom >"$work/app.bin"
# Entries without owner-write: unpacked on Windows they are read-only files,
# which the removal of the unpack folder must still take away.
"$camsim" make-package -o "$work/made.zip" --image "$work/app.bin" --version 2.1.0 >/dev/null
mkdir "$work/entries"
bsdtar -xf "$work/made.zip" -C "$work/entries"
chmod 0444 "$work"/entries/*
(cd "$work/entries" && bsdtar --format zip -cf "$work/firmware.zip" -- *)
# %TEMP% of the prefix, emptied of what the unit tests left, so that what
# remains after the upgrade is the upgrade's.
temp=$(sed -n 's/^"TEMP"="[Cc]:\\\\\(.*\)"\r*$/\1/p' "$prefix/user.reg" | sed 's/\\\\/\//g')
temp=$prefix/drive_c/${temp:-users/$(id -un)/Temp}
rm -rf "${temp:?}"/* "$temp"/.[!.]*
# The sockets of a wine program live in its wineserver: stop the one the unit
# tests used so that the upgrade starts a fresh one beside the camera.
WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
WINEPREFIX=$prefix wineserver -w 2>/dev/null || true
cat >"$work/upgrade.sh" <<EOF
set -u
ip link set lo up 2>/dev/null || true
"$camsim" --ip 127.0.0.2 --ip 127.0.0.3 --flash-ms 500 --restart-ms 1000 --run-for 120 >"$work/camera.log" 2>&1 &
camera=\$!
sleep 0.5
cd "$work"
"$root/scripts/wine-run.sh" "$prefix" "$bin/camupgrade.exe" --host 127.0.0.1 --camera 127.0.0.2 \
  --package 'Z:${work//\//\\}\\firmware.zip'
rc=\$?
# The SDK's C example with camupgrade-sdk.dll: finds 1.0.0 and upgrades the second camera.
"$root/scripts/wine-run.sh" "$prefix" "$bin/upgrade_if_needed_c.exe" 127.0.0.3 \
  'Z:${work//\//\\}\\firmware.zip' 2.1.0 127.0.0.1 >"$work/example.log" 2>&1
echo \$? >"$work/example.rc"
WINEPREFIX=$prefix wineserver -k 2>/dev/null
kill \$camera 2>/dev/null
wait \$camera 2>/dev/null
exit \$rc
EOF
# Port 69 is the wine program's: in a network namespace of its own where we
# may, on the host's loopback otherwise.
if [ "$(id -u)" -eq 0 ] && unshare --net true 2>/dev/null; then
  unshare --net bash "$work/upgrade.sh"
else
  bash "$work/upgrade.sh"
fi
rc=$?
echo "--- camera"
sed 's/^/  /' "$work/camera.log"
if [ $rc -ne 0 ]; then
  echo "camupgrade.exe exited with $rc, expected 0 (upgraded)"
  failed+=(windows-upgrade)
fi
echo "--- upgrade_if_needed_c.exe"
sed 's/^/  /' "$work/example.log"
if [ "$(cat "$work/example.rc")" != 0 ] || ! grep -q "firmware 2.1.0" "$work/example.log"; then
  echo "the SDK's C example did not upgrade 127.0.0.3 to 2.1.0"
  failed+=(windows-sdk-example)
fi
rm -rf "$work"
left=$(cd "$temp" && find . -mindepth 1 ! -path ./Quarnel.tmp | sort) || left="(no folder $temp)"
if [ -n "$left" ]; then
  echo "%TEMP% after the upgrade holds more than an empty Quarnel.tmp (no camupgrade-cli.*, no unpack folder):"
  echo "$left" | sed 's/^/  /'
  failed+=(windows-leftovers)
fi
scripts/package-windows.sh || failed+=(windows-zip)

echo "=== windows: $((SECONDS - start)) s"
if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "Windows build, exports, unit tests under wine and the upgrade under wine (nothing left in %TEMP%) passed"
