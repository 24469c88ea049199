#!/usr/bin/env bash
# The .pst and .msg forms beside the .eml form on the same generated mailbox,
# with CR LF and with bare LF line breaks: median wall times and their ratios
# (form / eml).
#
#   bench/bench_stores.sh [BUILD_DIR] [RUNS] [SIZE_MB] [OUTPUT_DIR]
#
# RUNS defaults to 5, SIZE_MB to 150. The mailbox and the outputs go under
# OUTPUT_DIR, else BENCH_DIR, else /tmp: /dev/shm measures the forms' own
# work, a disk folder adds what the file system costs each form. The forms
# run interleaved (eml, pst, msg, eml, pst, msg...) so that a change in the
# machine's load during the run falls on all three alike; the CPU time (user +
# system) is printed beside the wall time, the steadier of the two on a
# shared machine.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
runs=${2:-5}
size=${3:-150}
base=${4:-${BENCH_DIR:-/tmp}}
cli=$build/cli/vellary-convert
# BENCH_BEFORE: another build (an older commit's) whose .pst and .msg forms run
# interleaved with this one's, printed as "pst-before" and "msg-before".
before=${BENCH_BEFORE:+$BENCH_BEFORE/cli/vellary-convert}
forms="eml pst msg${before:+ pst-before msg-before}"
work=$(mktemp -d "$base/vellary-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

median() { sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
now() { date +%s.%N; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "-" }'; }

echo "outputs under $base, $runs runs, $size MB"
for mode in crlf lf; do
  box=$work/box-$mode.mbox
  python3 "$here/gen_mbox.py" "$box" "$size" $([ $mode = crlf ] && echo --crlf)
  declare -A times=() cpus=()
  for ((i = 0; i < runs; i++)); do
    for form in $forms; do
      # Every run writes into a folder of its own and nothing is deleted
      # until the mode is done: on ext4 without a journal, making files soon
      # after many were deleted scans past every freed inode.
      sync; t0=$(now)
      prog=$cli
      [ "${form%-before}" != "$form" ] && prog=$before
      /usr/bin/time -f '%U %S' -o "$work/cpu" "$prog" --to "${form%-before}" -o "$work/out-$form-$i" "$box" >/dev/null 2>&1 || true
      t1=$(now)
      times[$form]+="$(echo "$t1 - $t0" | bc) "
      read -r user sys <"$work/cpu"
      cpus[$form]+="$(echo "$user + $sys" | bc) "
    done
  done
  declare -A med=() cpu=()
  for form in $forms; do
    med[$form]=$(printf '%s\n' ${times[$form]} | median)
    cpu[$form]=$(printf '%s\n' ${cpus[$form]} | median)
  done
  printf '%-4s %s MB wall: median eml %.3fs  pst %.3fs (ratio %s)  msg %.3fs (ratio %s)\n' \
    "$mode" "$size" "${med[eml]}" "${med[pst]}" "$(ratio "${med[pst]}" "${med[eml]}")" \
    "${med[msg]}" "$(ratio "${med[msg]}" "${med[eml]}")"
  printf '%-4s %s MB CPU:  median eml %.3fs  pst %.3fs (ratio %s)  msg %.3fs (ratio %s)\n' \
    "$mode" "$size" "${cpu[eml]}" "${cpu[pst]}" "$(ratio "${cpu[pst]}" "${cpu[eml]}")" \
    "${cpu[msg]}" "$(ratio "${cpu[msg]}" "${cpu[eml]}")"
  if [ -n "$before" ]; then
    printf '%-4s before: wall pst %.3fs (ratio %s)  msg %.3fs (ratio %s); CPU pst %.3fs  msg %.3fs\n' \
      "$mode" "${med[pst-before]}" "$(ratio "${med[pst-before]}" "${med[eml]}")" \
      "${med[msg-before]}" "$(ratio "${med[msg-before]}" "${med[eml]}")" "${cpu[pst-before]}" "${cpu[msg-before]}"
  fi
  rm -rf "$work"/out-* "$box"
  unset times cpus med cpu
done
