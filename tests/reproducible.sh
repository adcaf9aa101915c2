#!/usr/bin/env bash
# The release is reproducible: the same commit, built twice from two
# different directories, gives byte-identical fileop.exe and archive. Also
# checks the archive's SHA256SUMS and what it holds.
set -euo pipefail
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# A second copy of the sources (and of the commit's history) elsewhere.
mkdir -p "$scratch/elsewhere/sources"
tar -C "$source_dir" --exclude=./build -cf - . | tar -C "$scratch/elsewhere/sources" -xf -

first=$("$source_dir/scripts/release.sh" "$scratch/first")
second=$("$scratch/elsewhere/sources/scripts/release.sh" "$scratch/elsewhere/out")
[ "$(basename "$first")" = "$(basename "$second")" ] || fail "names differ: $first $second"
[[ "$(basename "$first")" =~ ^fileop-[0-9]+\.[0-9]+\.[0-9]+-windows-x64\.zip$ ]] || fail "unexpected name $first"
cmp "$scratch/first/windows/fileop.exe" "$scratch/elsewhere/out/windows/fileop.exe" || fail "fileop.exe differs"
cmp "$first" "$second" || fail "the archives differ"
strings -e l "$scratch/first/windows/fileop.exe" | grep -q "$scratch" && fail "a build path is in fileop.exe"
strings "$scratch/first/windows/fileop.exe" | grep -q "$scratch" && fail "a build path is in fileop.exe"

# The archive: its files, and sums that verify.
mkdir -p "$scratch/unpacked"
(cd "$scratch/unpacked" && unzip -q "$first")
name=$(basename "$first" .zip)
for file in fileop.exe README.md calling.md LICENSE SHA256SUMS; do
  [ -f "$scratch/unpacked/$name/$file" ] || fail "the archive lacks $file"
done
(cd "$scratch/unpacked/$name" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not verify"
version=${name#fileop-}; version=${version%-windows-x64}
x86_64-w64-mingw32-windres -i "$scratch/unpacked/$name/fileop.exe" -O rc |
  grep -q "\"FileVersion\", \"$version\"" || fail "the version resource does not say $version"
x86_64-w64-mingw32-windres -i "$scratch/unpacked/$name/fileop.exe" -O rc |
  grep -q 'MIT License' || fail "the version resource names no licence"
echo "ok: $name is reproducible; $(sha256sum "$first" | cut -c1-16)..."
