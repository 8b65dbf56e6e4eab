#!/usr/bin/env bash
# Packs the Windows build for a line host: camupgrade.dll, camupgrade.h,
# camupgrade.exe, camsim.exe, the SDK (camupgrade-sdk.dll, its import library
# and headers, docs/sdk.md), the sample logging configuration and the README
# in build/windows/camupgrade-windows.zip (flat: the command loads the DLL
# from beside itself). Run after the windows preset's build.
# Usage: scripts/package-windows.sh
set -uo pipefail
cd "$(dirname "$0")/.."
bin=build/windows/bin
zipfile=build/windows/camupgrade-windows.zip
files=("$bin/camupgrade.dll" "$bin/camupgrade.exe" "$bin/camsim.exe"
  include/camupgrade.h SDKLOG_default.properties README.md
  "$bin/camupgrade-sdk.dll" build/windows/src/sdk/camupgrade-sdk.dll.a
  include/camupgrade_sdk.h include/camupgrade_sdk.hpp include/camupgrade_sdk_values.hpp
  docs/sdk.md)

for f in "${files[@]}"; do
  if [ ! -f "$f" ]; then
    echo "package-windows: $f is missing (build the windows preset first)"
    exit 1
  fi
done
rm -f "$zipfile"
zip -q -j -X "$zipfile" "${files[@]}" || exit 1
echo "package-windows: $zipfile ($(stat -c %s "$zipfile") bytes):" $(unzip -Z1 "$zipfile")
