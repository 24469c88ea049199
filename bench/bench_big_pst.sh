#!/usr/bin/env bash
# One store past 2^31 bytes: converts a generated mailbox of about 2.6 GB into
# one .pst, reports the peak memory of the conversion, checks the store with
# our verifier and reads it back whole with readpst and pffexport (message
# counts compared with the mailbox's).
#
#   bench/bench_big_pst.sh [BUILD_DIR] [SIZE_MB] [WORK_DIR]
#
# Needs about three times SIZE_MB of free disk.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
size=${2:-2700}
work=${3:-$(mktemp -d /tmp/vellary-bigpst.XXXXXX)}
cli=$build/cli/vellary-convert
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT

box=$work/big.mbox
python3 "$here/gen_mbox.py" "$box" "$size" --seed 11
messages=$(grep -c '^From ' "$box")
/usr/bin/time -f '%M %e' -o "$work/time" "$cli" --to pst -o "$work/out" "$box" >/dev/null 2>"$work/err" || {
  cat "$work/err"; exit 1; }
read -r peak_kb wall < "$work/time"
pst=$(ls "$work"/out/*.pst)
printf 'mailbox %d MB, %d messages; store %d MB in %ss; peak memory %d MB\n' \
  "$(( $(stat -c %s "$box") / 1048576 ))" "$messages" "$(( $(stat -c %s "$pst") / 1048576 ))" "$wall" "$(( peak_kb / 1024 ))"
rm -f "$box"

if [ -x "$build/store/pstverify" ]; then
  "$build/store/pstverify" --strict "$pst" && echo "pstverify: passes"
fi
mkdir -p "$work/readpst"
readpst -q -j 0 -r -S -o "$work/readpst" "$pst"
n_readpst=$(find "$work/readpst" -type f -regex '.*/[0-9]+' | wc -l)
echo "readpst: $n_readpst of $messages messages"
rm -rf "$work/readpst"
pffexport -q -m items -t "$work/pff" "$pst" >/dev/null 2>&1 || true
n_pff=$(find "$work/pff.export" -maxdepth 4 -type d -name 'Message*' | wc -l)
echo "pffexport: $n_pff of $messages messages"
