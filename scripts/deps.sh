#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need,
# and only when something is missing.
# Usage: scripts/deps.sh [windows]   (windows: also the Windows cross build
# and wine to run its tests)
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  liblog4cpp5-dev libarchive-dev libcli11-dev libsqlite3-dev help2man
  libgtest-dev libgmock-dev libbenchmark-dev
  # peers and tools the tests and the demo drive
  iproute2 nftables curl tftp-hpa tftpd-hpa aravis-tools aravis-tools-cli tshark ansible-core
  libarchive-tools zip procps jq
  # the Python package of the SDK: its tests and its example
  python3 python3-pytest
  # fuzzing (clang with libFuzzer's runtime) and the soak's memcheck run
  clang libclang-rt-14-dev valgrind
)
# The posix-thread compilers are the mingw-w64 ones with std::thread and
# std::mutex; dpkg-dev fetches libarchive's source for the cross build.
WINDOWS_PACKAGES=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  libz-mingw-w64-dev wine wine64 dpkg-dev
)
[ "${1:-}" = windows ] && PACKAGES+=("${WINDOWS_PACKAGES[@]}")

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
