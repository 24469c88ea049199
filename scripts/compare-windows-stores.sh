#!/usr/bin/env bash
# The store forms of the Windows build against the Linux build's: converts
# the corpus mailboxes (../shared/corpus/mbox) to one .pst and to .msg files
# with both, under wine for the Windows one, and compares them message for
# message with the independent readers.
#
#   scripts/compare-windows-stores.sh [LINUX_BUILD_DIR [WINDOWS_BUILD_DIR]]
#   (defaults: build, build-win; the Windows build must have GMime, made
#   with -DVELLARY_MINGW_PREFIX=..., see scripts/cross-gmime.sh)
#
# The .pst files: pffexport -t of each, the trees diffed. Left out of the
# diff: the "Creation time" and "Modification time" lines of each message's
# OutlookHeaders.txt, which the writer sets to the moment of the run for a
# message without a date of its own (two runs never share them). readpst is
# not the judge here: its -e output of one and the same .pst differs from
# run to run (messages dropped or renumbered in the larger folders).
#
# The .msg files: the same list of files, and tests/support/msg_summary.py
# (olefile) of each the same. Differences known and explained are listed in
# scripts/windows-store-differences.txt (a file's path below the output
# folder, then why); any other fails the comparison.
#
# Skipped, with a note, where wine, the builds, the corpus or the readers
# are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
linux_build=${1:-build}
win_build=${2:-build-win}
corpus=$PWD/../shared/corpus/mbox
known=$PWD/scripts/windows-store-differences.txt
python=/usr/bin/python3

skip() {
  echo "note: $1; the store forms of the Windows build are not compared" >&2
  exit 0
}
command -v wine >/dev/null 2>&1 || skip "wine is missing"
command -v pffexport >/dev/null 2>&1 || skip "pffexport is missing"
"$python" -c 'import olefile' 2>/dev/null || skip "olefile is missing"
[ -d "$corpus" ] || skip "no corpus at $corpus"
[ -x "$linux_build/cli/vellary-convert" ] || skip "no $linux_build/cli/vellary-convert"
[ -f "$win_build/cli/vellary-convert.exe" ] || skip "no $win_build/cli/vellary-convert.exe"
prefix=$(sed -n 's/^VELLARY_MINGW_PREFIX:[A-Z]*=//p' "$win_build/CMakeCache.txt")
[ -n "$prefix" ] || skip "$win_build has no GMime (no VELLARY_MINGW_PREFIX)"

linux_build=$(cd "$linux_build" && pwd)
win_build=$(cd "$win_build" && pwd)
export WINEPREFIX=$win_build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
  WINEPATH=$prefix/bin
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
status=0

# Both runs read the same files (wine opens a Linux path on its drive Z:),
# so their output folders hold the same tree below the output folder.
convert() {  # form, folder
  "$linux_build/cli/vellary-convert" --to "$1" -o "$out/$2-linux" "$corpus" >"$out/$2-linux.log" 2>&1 || true
  wine "$win_build/cli/vellary-convert.exe" --to "$1" -o "$out/$2-windows" "$corpus" >"$out/$2-windows.log" 2>&1 || true
}

echo "== one .pst of the corpus, Linux build against Windows build (pffexport)"
convert pst pst
for side in linux windows; do
  stores=("$out/pst-$side"/*.pst)
  if [ "${#stores[@]}" -ne 1 ] || [ ! -f "${stores[0]}" ]; then
    echo "the $side build did not write one .pst (see its log):" >&2
    tail -5 "$out/pst-$side.log" >&2
    exit 1
  fi
  pffexport -q -t "$out/export-$side" "${stores[0]}" >/dev/null 2>&1
  find "$out/export-$side.export" -name OutlookHeaders.txt -exec sed -i -E '/^(Creation|Modification) time:/d' {} +
done
messages=$(find "$out/export-linux.export" -type d -name 'Message[0-9]*' | wc -l)
if diff -r "$out/export-linux.export" "$out/export-windows.export" >"$out/pst.diff" 2>&1; then
  echo "$messages messages (attached ones too), the same"
else
  echo "the Windows build's .pst differs from the Linux build's:" >&2
  head -40 "$out/pst.diff" >&2
  status=1
fi

echo "== .msg files of the corpus, Linux build against Windows build (olefile)"
convert msg msg
(cd "$out/msg-linux" && find . -type f | sort) >"$out/files-linux"
(cd "$out/msg-windows" && find . -type f | sort) >"$out/files-windows"
if ! diff "$out/files-linux" "$out/files-windows" >"$out/files.diff"; then
  echo "the two builds wrote different files:" >&2
  head -20 "$out/files.diff" >&2
  status=1
fi
# One summary line block a file, each line prefixed with its file's path, so
# that a difference names the file it is in.
summarise() {
  local repo=$PWD
  (cd "$out/msg-$1" && grep '\.msg$' "$out/files-$1" | "$python" "$repo/tests/support/msg_summary.py") |
    "$python" -c '
import re, sys
name = ""
for line in sys.stdin:
    if line.startswith("FILE "):
        name = re.sub(r"^\./.*/mbox/", "", bytes.fromhex(line.split()[1]).decode())
    else:
        sys.stdout.write(name + " " + line)
' >"$out/summary-$1"
}
summarise linux
summarise windows
grep -c '\.msg$' "$out/files-linux" >"$out/count"
differing=$(diff "$out/summary-linux" "$out/summary-windows" | sed -n 's/^[<>] \(\S*\) .*/\1/p' | sort -u || true)
unexplained=0
for file in $differing; do
  why=$(grep -F "$file " "$known" 2>/dev/null | head -1 | cut -d' ' -f2-)
  if [ -n "$why" ]; then
    echo "known: $file: $why"
  else
    echo "differs: $file" >&2
    diff <(grep -F "$file " "$out/summary-linux") <(grep -F "$file " "$out/summary-windows") | cut -c1-200 | head -6 >&2
    unexplained=1
  fi
done
echo "$(cat "$out/count") .msg files, $(echo "$differing" | grep -c . || true) with known differences or none"
[ "$unexplained" -eq 0 ] || status=1
exit $status
