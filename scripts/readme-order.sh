#!/usr/bin/env bash
# Checks that the README's two set-up commands work from a fresh clone, in
# either order: `bash scripts/run.sh` (built only, VELLARY_NO_START=1, so
# nothing waits on a window) and `bash scripts/test.sh`, which must run tests
# in both the normal and the sanitizer build ("N tests" with N > 0 passed in
# each). Each order gets its own clone of the current commit, made beside this
# repository so that ../shared/corpus resolves as it does here; the clone is
# removed afterwards (VELLARY_KEEP_CHECK=1 keeps it). Slow: both orders take
# about 25 minutes on two cores, so CI does not run it.
# Usage: scripts/readme-order.sh [run-first|test-first]...   (default: both)
# The environment passes through, e.g. VELLARY_FUZZ_SECONDS=0 to leave out
# test.sh's fuzzing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
parent=$(dirname "$root")
head=$(git -C "$root" rev-parse HEAD)
orders=("$@")
[ ${#orders[@]} -gt 0 ] || orders=(run-first test-first)
[ -d "$parent/shared/corpus" ] || echo "note: $parent/shared/corpus is missing; the clone's tests will skip it" >&2

clones=()
cleanup() {
  [ "${VELLARY_KEEP_CHECK:-}" = 1 ] && return
  for c in "${clones[@]}"; do rm -rf -- "$c"; done
}
trap cleanup EXIT

run_setup() {  # $1 clone, $2 log
  echo "-- bash scripts/run.sh (VELLARY_NO_START=1)"
  if ! (cd "$1" && VELLARY_NO_START=1 timeout 3600 bash scripts/run.sh) >"$2" 2>&1; then
    echo "FAILED: run.sh; the end of its log:"; tail -20 "$2"; return 1
  fi
  [ -x "$1/build/shell/vellary-converter" ] || [ -x "$1/build/cli/vellary-convert" ] ||
    { echo "FAILED: run.sh built no program"; return 1; }
  echo "   built: $(tail -1 "$2")"
}

# The "N% tests passed, 0 tests failed out of M" line of ctest in one section.
passed_in() {  # $1 log, $2 section heading
  sed -n "/^== tests ($2)/,/^== /p" "$1" | grep -E 'tests passed, 0 tests failed out of [1-9][0-9]*' | tail -1
}

run_tests() {  # $1 clone, $2 log
  echo "-- bash scripts/test.sh"
  local status=0
  (cd "$1" && timeout 7200 bash scripts/test.sh) >"$2" 2>&1 || status=$?
  local normal sanitizer
  normal=$(passed_in "$2" "normal build")
  sanitizer=$(passed_in "$2" "sanitizer build")
  echo "   normal build:    ${normal:-NO TESTS PASSED}"
  echo "   sanitizer build: ${sanitizer:-NO TESTS PASSED}"
  if [ "$status" -ne 0 ] || [ -z "$normal" ] || [ -z "$sanitizer" ]; then
    echo "FAILED: test.sh (exit $status); the end of its log:"; tail -30 "$2"; return 1
  fi
}

result=0
for order in "${orders[@]}"; do
  case "$order" in
    run-first|test-first) ;;
    *) echo "usage: $0 [run-first|test-first]..." >&2; exit 2 ;;
  esac
  clone=$(mktemp -d "$parent/readme-check-XXXXXX")
  clones+=("$clone")
  git clone -q --no-checkout "$root" "$clone"
  git -C "$clone" checkout -q --detach "$head"
  echo "== $order: a fresh clone of ${head:0:10} in $clone"
  start=$SECONDS
  ok=1
  if [ "$order" = run-first ]; then
    run_setup "$clone" "$clone/readme-check-run.log" && run_tests "$clone" "$clone/readme-check-test.log" || ok=0
  else
    run_tests "$clone" "$clone/readme-check-test.log" && run_setup "$clone" "$clone/readme-check-run.log" || ok=0
  fi
  echo "== $order: $([ $ok = 1 ] && echo passed || echo FAILED) in $(( (SECONDS - start) / 60 )) min"
  [ $ok = 1 ] || result=1
done
exit $result
