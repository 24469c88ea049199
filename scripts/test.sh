#!/usr/bin/env bash
# Builds and runs every test: once in a normal build, once with
# AddressSanitizer and UndefinedBehaviorSanitizer, then in the Windows build
# under wine (scripts/test-windows.sh), then fuzzes each input path for a
# short while. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-deps.sh
jobs=$(nproc)

if [ ! -d ../shared/corpus ]; then
  echo "note: ../shared/corpus is missing; the tests that read it will be skipped" >&2
fi

# The tests are switched on explicitly: run.sh configures build/ without them.
# Warnings are errors here, so none reaches main.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELLARY_TESTS=ON -DVELLARY_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVELLARY_SANITIZE=ON -DVELLARY_TESTS=ON -DVELLARY_WERROR=ON >/dev/null
cmake --build build-asan -j"$jobs"

export QT_QPA_PLATFORM=offscreen
# Leaks are errors; scripts/lsan.supp lists the start-up allocations GLib and
# Qt keep for the life of the process, and nothing of ours.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
echo "== tests (normal build)"
ctest --test-dir build --output-on-failure --no-tests=error -j"$jobs" || status=1
echo "== tests (sanitizer build)"
ctest --test-dir build-asan --output-on-failure --no-tests=error -j"$jobs" || status=1
# The core cross-built for Windows, its tests and its .eml files under wine
# (skipped where wine or MinGW-w64 is missing). With GLib and GMime built for
# the target from Debian's source packages (scripts/cross-gmime.sh, about 4
# minutes on two cores the first time, then kept in build-mingw/) the Windows
# build has the .pst and .msg forms too, and their outputs are compared with
# the Linux build's. VELLARY_WINDOWS_STORES=0 leaves GMime out.
if [ "${VELLARY_WINDOWS_STORES:-1}" != 0 ] && command -v wine >/dev/null 2>&1 &&
  command -v x86_64-w64-mingw32-gcc-posix >/dev/null 2>&1; then
  echo "== GLib and GMime for the Windows build"
  if bash scripts/cross-gmime.sh "$PWD/build-mingw"; then
    export VELLARY_MINGW_PREFIX=$PWD/build-mingw
  else
    echo "error: GLib and GMime for MinGW-w64 could not be built (scripts/cross-gmime.sh)" >&2
    status=1
  fi
fi
bash scripts/test-windows.sh build || status=1
# A short run of each fuzzing target under the sanitizers (build-fuzz, clang);
# VELLARY_FUZZ_SECONDS=0 leaves it out.
fuzz_seconds=${VELLARY_FUZZ_SECONDS:-45}
if [ "$fuzz_seconds" -gt 0 ]; then
  echo "== fuzzing, ${fuzz_seconds}s per target"
  bash scripts/fuzz.sh "$fuzz_seconds" || status=1
fi
exit $status
