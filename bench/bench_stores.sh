#!/usr/bin/env bash
# The .pst and .msg forms beside the .eml form on the same generated 150 MB
# mailbox: median wall times and their ratios (form / eml).
#
#   bench/bench_stores.sh [BUILD_DIR] [RUNS] [SIZE_MB]
#
# The mailbox and outputs go to $BENCH_DIR (default /tmp).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
runs=${2:-3}
size=${3:-150}
cli=$build/cli/vellary-convert
work=$(mktemp -d "${BENCH_DIR:-/tmp}/vellary-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

median() { sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
now() { date +%s.%N; }

box=$work/box.mbox
python3 "$here/gen_mbox.py" "$box" "$size"
declare -A med
for form in eml pst msg; do
  times=()
  for ((i = 0; i < runs; i++)); do
    # Every run writes into a folder of its own and nothing is deleted until
    # the end: on ext4 without a journal, making files soon after many were
    # deleted scans past every freed inode.
    sync; t0=$(now); "$cli" --to $form -o "$work/out-$form-$i" "$box" >/dev/null 2>&1 || true; t1=$(now)
    times+=("$(echo "$t1 - $t0" | bc)")
  done
  med[$form]=$(printf '%s\n' "${times[@]}" | median)
done
printf 'mailbox %s MB: median eml %.3fs  pst %.3fs (ratio %.2f)  msg %.3fs (ratio %.2f)\n' \
  "$size" "${med[eml]}" "${med[pst]}" "$(echo "${med[pst]} / ${med[eml]}" | bc -l)" \
  "${med[msg]}" "$(echo "${med[msg]} / ${med[eml]}" | bc -l)"
