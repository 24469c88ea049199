#!/usr/bin/env bash
# Converting a generated 150 MB mailbox to .eml files, side by side with
# `git mailsplit` on the same file, with CR LF and with bare LF line breaks;
# then the peak memory of converting a mailbox whose one message is 100 MB.
#
#   bench/bench_split.sh [BUILD_DIR] [RUNS]
#
# Prints the median wall times and their ratio (ours / git mailsplit). The
# files go under BENCH_DIR (default /tmp): a tmpfs such as /dev/shm leaves out
# the disk, whose state after earlier runs can cost either program seconds.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
runs=${2:-5}
cli=$build/cli/vellary-convert
work=$(mktemp -d "${BENCH_DIR:-/tmp}/vellary-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

median() { sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
now() { date +%s.%N; }

for mode in crlf lf; do
  box=$work/box-$mode.mbox
  python3 "$here/gen_mbox.py" "$box" 150 $([ $mode = crlf ] && echo --crlf)
  ours=() peer=()
  for ((i = 0; i < runs; i++)); do
    # Every run writes into folders of its own, and nothing is deleted until
    # all runs are done: on ext4 without a journal, making files soon after
    # many were deleted scans past every freed inode, which would slow down
    # whichever program runs next.
    mkdir -p "$work/split-$mode-$i"
    sync; t0=$(now); "$cli" --to eml -o "$work/out-$mode-$i" "$box" 2>/dev/null >/dev/null; t1=$(now)
    ours+=("$(echo "$t1 - $t0" | bc)")
    sync; t0=$(now); git mailsplit -o"$work/split-$mode-$i" "$box" >/dev/null; t1=$(now)
    peer+=("$(echo "$t1 - $t0" | bc)")
  done
  mo=$(printf '%s\n' "${ours[@]}" | median); mp=$(printf '%s\n' "${peer[@]}" | median)
  n=$(find "$work/out-$mode-0" -name 'email-*.eml' | wc -l); np=$(ls "$work/split-$mode-0" | wc -l)
  printf '%-5s size %s MB  messages ours %s / git %s  median ours %.3fs  git mailsplit %.3fs  ratio %.2f\n' \
    "$mode" "$(( $(stat -c %s "$box") / 1048576 ))" "$n" "$np" "$mo" "$mp" "$(echo "$mo / $mp" | bc -l)"
  rm -f "$box"
done
rm -rf "$work"/out-* "$work"/split-*

for mode in crlf lf; do
  big=$work/big-$mode.mbox
  python3 "$here/gen_mbox.py" "$big" --one-message 100 $([ $mode = crlf ] && echo --crlf)
  rm -rf "$work/out"
  /usr/bin/time -f '%M' -o "$work/mem" "$cli" --to eml -o "$work/out" "$big" >/dev/null 2>&1
  printf 'peak memory, one 100 MB message (%s): %d MB\n' "$mode" $(( $(cat "$work/mem") / 1024 ))
  rm -f "$big"
done
