#!/usr/bin/env bash
# Builds the libFuzzer targets (build-fuzz: clang, ASan, UBSan) and runs each
# for SECONDS (default 60), one after the other.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]     TARGET: splitter, mime_import, paths
#                                             (or fuzz_splitter...); default all
#
# Seeds come from the shared corpus (../shared/corpus beside the repository,
# or $VELLARY_CORPUS_DIR): its mailboxes for the splitter, its single messages
# for the import, its file paths as source rows for the paths; without the
# corpus a few seeds written here stand in, and the script says so. The
# checked-in reproducers in tests/fuzz/seeds/<target> are always added. What
# the fuzzer learns and what crashes it lands outside the repository, in
# $VELLARY_FUZZ_DIR (default ../fuzz-work): <target>/corpus, <target>/crashes,
# <target>/last.log. Exits non-zero when a target crashed.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=()
for t in "${@:-splitter mime_import paths}"; do
  for name in $t; do targets+=("fuzz_${name#fuzz_}"); done
done

scratch_base=${TMPDIR:-/tmp}
[ -d /dev/shm ] && [ -w /dev/shm ] && scratch_base=/dev/shm
work=${VELLARY_FUZZ_DIR:-$repo/../fuzz-work}
corpus=${VELLARY_CORPUS_DIR:-$repo/../shared/corpus}
mkdir -p "$work"
work=$(cd "$work" && pwd)

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DVELLARY_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]}"

# Seeds, rebuilt on every run (the learned corpus is kept).
make_seeds() {
  local target=$1 dir=$2
  rm -rf "$dir"
  mkdir -p "$dir"
  if [ -d "$corpus" ]; then
    case $target in
      fuzz_splitter) cp "$corpus"/mbox/* "$dir"/ ;;
      fuzz_mime_import)
        # messages/<source>/<name>: names repeat across sources.
        local f
        while IFS= read -r f; do
          cp "$corpus/messages/$f" "$dir/${f//\//-}"
        done < <(cd "$corpus/messages" && find . -type f -size -256k | sed 's|^\./||')
        ;;
      fuzz_paths)
        local i=0
        while IFS= read -r f; do
          printf "%s" "$corpus/$f" >"$dir/row-$i"
          i=$((i + 1))
        done < <(cd "$corpus" && find . -type f | head -200)
        ;;
    esac
    return
  fi
  echo "note: $corpus is missing; $target starts from a few seeds written by scripts/fuzz.sh" >&2
  case $target in
    fuzz_splitter)
      printf 'From a@b Mon Jan  1 00:00:00 2024\nSubject: x\n\nbody\nFrom c@d Tue\n\ny\n' >"$dir/lf"
      printf 'From a@b Mon\r\nSubject: x\r\n\r\nbody\r\n\n\nFrom c\r\nlone\nLF\rCR\r\n' >"$dir/crlf"
      ;;
    fuzz_mime_import)
      printf 'From: A <a@b.example>\r\nTo: c@d.example, "E" <e@f.example>\r\nSubject: =?utf-8?B?w6k=?=\r\nDate: Mon, 1 Jan 2024 10:00:00 +0100\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\ncaf=E9\r\n--b\r\nContent-Type: text/html\r\n\r\n<p>x</p>\r\n--b\r\nContent-Type: message/rfc822\r\n\r\nSubject: inner\r\n\r\nin\r\n--b\r\nContent-Type: application/octet-stream; name="a.bin"\r\nContent-Transfer-Encoding: base64\r\n\r\nAAEC\r\n--b--\r\n' >"$dir/multipart"
      printf 'From x Mon\nSubject: plain\n\nbody\n' >"$dir/plain"
      ;;
    fuzz_paths)
      printf '/home/u/mail/inbox.mbox' >"$dir/posix"
      printf '  ./a/../b.mbox  ' >"$dir/relative"
      printf 'C:\\mail\\x.MBOX' >"$dir/drive"
      printf '\\\\server\\share\\a.mbox' >"$dir/unc"
      ;;
  esac
}

max_len() {
  case $1 in
    fuzz_splitter) echo 65536 ;;
    fuzz_mime_import) echo 65536 ;;
    fuzz_paths) echo 512 ;;
  esac
}

# GLib keeps some start-up allocations for the life of the process.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
passed=0
failed=0
for target in "${targets[@]}"; do
  dir=$work/${target#fuzz_}
  mkdir -p "$dir/corpus" "$dir/crashes"
  make_seeds "$target" "$dir/seeds"
  extra=()  # libFuzzer adds new inputs to the first folder only: $dir/corpus
  [ -f "tests/fuzz/${target#fuzz_}.dict" ] && extra+=("-dict=tests/fuzz/${target#fuzz_}.dict")
  [ -d "tests/fuzz/seeds/${target#fuzz_}" ] && extra+=("tests/fuzz/seeds/${target#fuzz_}")
  echo "== $target: ${seconds}s (crashes go to $dir/crashes)"
  # The targets' scratch files go to memory-backed space when there is some.
  if ! TMPDIR="$scratch_base" build-fuzz/tests/fuzz/"$target" -max_total_time="$seconds" -max_len="$(max_len "$target")" \
      -timeout=60 -rss_limit_mb=3072 -print_final_stats=1 -artifact_prefix="$dir/crashes/" \
      "$dir/corpus" "$dir/seeds" "${extra[@]}" >"$dir/last.log" 2>&1; then
    status=1
    failed=$((failed + 1))
    echo "$target FAILED; the log is $dir/last.log, the input in $dir/crashes:" >&2
    grep -E 'ERROR|fuzz_[a-z_]+:|SUMMARY|Test unit written' "$dir/last.log" | head -20 >&2 || true
  else
    passed=$((passed + 1))
  fi
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)|^#[0-9]+ +DONE' "$dir/last.log" || true
done
echo "fuzzing: $passed passed, $failed failed"
exit $status
