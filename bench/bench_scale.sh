#!/usr/bin/env bash
# How the .pst form scales with the number of messages in one folder: one
# mailbox of N small messages (about 1 KB each) per size, converted to a
# single store; the wall and CPU (user + system) time per message and the
# peak RSS for each N (on a shared machine the CPU time is the steadier). A
# per-message cost that grows with N (a table rebuilt, a list searched)
# shows as a rising time per message.
#
#   bench/bench_scale.sh [BUILD_DIR] [N...]
#
# N defaults to 1000 10000 100000. The .msg form is run too for N up to
# MSG_MAX (default 10000). Mailboxes and outputs go under BENCH_DIR (default
# /tmp) and are deleted after each size.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
shift || true
sizes=("$@")
[ ${#sizes[@]} -eq 0 ] && sizes=(1000 10000 100000)
msgMax=${MSG_MAX:-10000}
cli=$build/cli/vellary-convert
work=$(mktemp -d "${BENCH_DIR:-/tmp}/vellary-scale.XXXXXX")
trap 'rm -rf "$work"' EXIT

printf '%-8s %-4s %9s %12s %12s %12s\n' messages form seconds 'us/message' 'CPU us/msg' 'peak RSS MB'
for n in "${sizes[@]}"; do
  box=$work/box-$n.mbox
  python3 - "$box" "$n" <<'EOF'
import random, sys
out, n = sys.argv[1], int(sys.argv[2])
rng = random.Random(11)
words = "alpha beta gamma delta epsilon zeta eta theta iota kappa lambda mu".split()
with open(out, "w", newline="") as f:
    for i in range(1, n + 1):
        body = "\n".join(" ".join(rng.choice(words) for _ in range(12)) for _ in range(10))
        f.write(f"From user{i % 97}@example.org Mon Jan  1 10:00:00 2024\n"
                f"From: User {i % 97} <user{i % 97}@example.org>\nTo: list@example.com\n"
                f"Subject: Message {i}\nDate: Mon, 1 Jan 2024 10:{i % 60:02d}:00 +0000\n"
                f"Message-ID: <{i}@example.org>\nContent-Type: text/plain; charset=utf-8\n\n{body}\n\n")
EOF
  forms=(pst)
  [ "$n" -le "$msgMax" ] && forms+=(msg)
  for form in "${forms[@]}"; do
    out=$work/out-$form-$n
    t0=$(date +%s.%N)
    /usr/bin/time -f '%M %U %S' -o "$work/rss" "$cli" --to $form -o "$out" "$box" >/dev/null 2>&1 || true
    t1=$(date +%s.%N)
    secs=$(echo "$t1 - $t0" | bc)
    read -r rss user sys <"$work/rss"
    printf '%-8s %-4s %9.2f %12.1f %12.1f %12.1f\n' "$n" "$form" "$secs" "$(echo "$secs * 1000000 / $n" | bc -l)" \
      "$(echo "($user + $sys) * 1000000 / $n" | bc -l)" "$(echo "$rss / 1024" | bc -l)"
    rm -rf "$out"
  done
  rm -f "$box"
done
