#!/usr/bin/env bash
# Peak memory (maximum resident set) of converting mailboxes of one message
# each, of the shapes that used to cost far more than the message: one huge
# attachment, a huge Subject, a huge To: of bare addresses, very many named
# recipients, deeply nested alternatives. Prints, per shape and form, the
# peak RSS, the message's size and their ratio, and the wall time.
#
#   bench/bench_memory.sh [BUILD_DIR] [FORMS] [SHAPES]
#
# FORMS defaults to "eml msg pst"; SHAPES to all of them, e.g.
# "attachment:300 subject:50 to-bare:3 to-bare:9 to-named:100000 nested:40".
# Mailboxes and outputs go to $BENCH_DIR (default /tmp); written files never
# count in the converter's RSS, on a tmpfs such as /dev/shm or not. A run
# longer than $BENCH_TIMEOUT seconds (default 300) is stopped and reported as
# failed (exit 124).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
forms=${2:-eml msg pst}
shapes=${3:-attachment:300 subject:50 to-bare:3 to-bare:9 to-named:100000 nested:40 nested:1000}
cli=$build/cli/vellary-convert
work=$(mktemp -d "${BENCH_DIR:-/tmp}/vellary-mem.XXXXXX")
trap 'rm -rf "$work"' EXIT

printf '%-18s %-4s %12s %12s %8s %9s  %s\n' shape form message_KB peak_RSS_KB ratio seconds result
for shape in $shapes; do
  kind=${shape%%:*} size=${shape#*:}
  box=$work/$kind-$size.mbox
  python3 "$here/gen_shapes.py" "$box" "$kind" "$size"
  message_kb=$(( $(stat -c %s "$box") / 1024 ))
  for form in $forms; do
    out=$work/out-$kind-$size-$form
    t0=$(date +%s.%N)
    status=ok
    /usr/bin/time -f %M -o "$work/rss" timeout "${BENCH_TIMEOUT:-300}" "$cli" --to "$form" -o "$out" "$box" >"$work/log" 2>&1 || status="failed (exit $?)"
    t1=$(date +%s.%N)
    rss=$(tail -n 1 "$work/rss")
    printf '%-18s %-4s %12d %12d %8.2f %9.2f  %s\n' "$kind:$size" "$form" "$message_kb" "$rss" \
      "$(echo "$rss / $message_kb" | bc -l)" "$(echo "$t1 - $t0" | bc)" "$status"
    rm -rf "$out"
  done
  rm -f "$box"
done
