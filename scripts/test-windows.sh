#!/usr/bin/env bash
# The Windows build, cross-compiled with MinGW-w64 and tested under wine:
# builds build-win, runs its ctest, then converts the corpus mailboxes to
# .eml with vellary-convert.exe and with the Linux build's vellary-convert
# and requires the two output trees to be the same bytes; with GMime, the
# .pst and .msg forms too (scripts/compare-windows-stores.sh).
#
#   scripts/test-windows.sh [LINUX_BUILD_DIR]   (default: build)
#
# Skipped, with a note, where wine or the MinGW-w64 compiler is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
linux_build=${1:-build}
for tool in wine x86_64-w64-mingw32-g++-posix; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "note: $tool is missing; the Windows build is not tested" >&2
    exit 0
  fi
done
jobs=$(nproc)

# VELLARY_MINGW_PREFIX (GMime for the target, scripts/cross-gmime.sh) gives
# the build the store forms; it is passed on so that the cache keeps it.
prefix=${VELLARY_MINGW_PREFIX:-}
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DVELLARY_GUI=OFF \
  -DVELLARY_WERROR=ON ${prefix:+-DVELLARY_MINGW_PREFIX="$prefix"} >/dev/null
cmake --build build-win -j"$jobs"

# The wine prefix of the build folder, as ctest uses it (the toolchain file),
# and the prefix's DLLs where the programs look for them.
export WINEPREFIX=$PWD/build-win/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ -n "$prefix" ]; then export WINEPATH=$prefix/bin; fi

status=0
echo "== tests (Windows build, under wine)"
ctest --test-dir build-win --output-on-failure --no-tests=error || status=1

corpus=$PWD/../shared/corpus/mbox
if [ -d "$corpus" ] && [ -x "$linux_build/cli/vellary-convert" ]; then
  echo "== .eml files of the Windows build against the Linux build's"
  out=$(mktemp -d)
  trap 'rm -rf "$out"' EXIT
  # Both read the same files: wine opens a Linux path on its drive Z:.
  "$linux_build/cli/vellary-convert" --to eml -o "$out/linux" "$corpus" >/dev/null 2>"$out/linux.err" || true
  wine build-win/cli/vellary-convert.exe --to eml -o "$out/windows" "$corpus" >/dev/null 2>"$out/windows.err" || true
  count=$(find "$out/linux" -type f | wc -l)
  if [ "$count" -eq 0 ]; then
    echo "the Linux build wrote no .eml file" >&2
    status=1
  elif diff -r "$out/linux" "$out/windows" >"$out/diff" 2>&1; then
    echo "$count .eml files, the same bytes"
  else
    echo "the Windows build's .eml files differ from the Linux build's:" >&2
    head -20 "$out/diff" >&2
    status=1
  fi
else
  echo "note: no corpus or no $linux_build/cli/vellary-convert; the .eml comparison is left out" >&2
fi
# With GMime (VELLARY_MINGW_PREFIX in the environment, read by the toolchain
# file) the build has the store forms too: their outputs are compared as well.
if grep -q '^VELLARY_MINGW_PREFIX:[A-Z]*=.' build-win/CMakeCache.txt; then
  bash scripts/compare-windows-stores.sh "$linux_build" build-win || status=1
fi
exit $status
