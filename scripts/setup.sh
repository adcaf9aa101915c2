#!/usr/bin/env bash
# Installs what the build and the tests need (Debian 12) and builds
# everything: the native program (build/native), the same under the
# sanitizers (build/asan), the tree and fault tests under ThreadSanitizer
# (build/tsan), the Windows program (build/windows) and the fuzz targets
# (build/fuzz).
# Idempotent; when every package is present it only builds.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake ninja-build g++ googletest libgtest-dev libbenchmark-dev  # native build and tests
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64             # the Windows program
  wine64 xvfb xdotool                                               # running it under Wine, with a display
  clang libclang-rt-14-dev                                          # the fuzz targets (libFuzzer)
  nsis zip unzip groff-base man-db binutils                         # the release archive, the guide's installer, the manual page
)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

for preset in windows native asan tsan fuzz; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
ls -l build/windows/fileop.exe build/native/fileop
