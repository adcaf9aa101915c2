#!/usr/bin/env bash
# Builds the release archive fileop-VERSION-windows-x64.zip: fileop.exe, the
# README, the calling guide, the licence and SHA256SUMS. The version is the
# CMake project's. The same commit gives the same bytes wherever it is built:
# the program is linked without time stamps or build paths, and the archive
# holds its files in a fixed order with the commit's time (or
# SOURCE_DATE_EPOCH) and fixed modes.
#   scripts/release.sh [OUTPUT_DIRECTORY]     (default build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
out="$(mkdir -p "${1:-build/release}" && cd "${1:-build/release}" && pwd)"
build="$out/windows"
cmake -S . -B "$build" -G Ninja --toolchain cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=MinSizeRel -DFILEOP_TESTS=OFF >/dev/null
cmake --build "$build" --target fileop >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
name="fileop-$version-windows-x64"
stage="$out/$name"
rm -rf "$stage" "$out/$name.zip"
mkdir -p "$stage"
install -m 0755 "$build/fileop.exe" "$stage/fileop.exe"
install -m 0644 README.md LICENSE docs/calling.md "$stage/"
files=(fileop.exe README.md calling.md LICENSE)
(cd "$stage" && sha256sum "${files[@]}" >SHA256SUMS && chmod 0644 SHA256SUMS)
stamp="${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 315532800)}"
touch -d "@$stamp" "$stage" "$stage"/*
(cd "$out" && TZ=UTC zip -X -D -q "$name.zip" "${files[@]/#/$name/}" "$name/SHA256SUMS")
echo "$out/$name.zip"
