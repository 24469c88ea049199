#!/usr/bin/env bash
# Converts the whole corpus to .pst and .msg, reads every result back with two
# independent readers per form and compares each field with the source.
#   bench/fidelity.sh [BUILD] [fidelity.py options: --work DIR --jobs N --only TEXT]
# Needs the vellary-convert target built in BUILD (default build) and the
# readers that scripts/setup-deps.sh installs.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
[ $# -gt 0 ] && shift
for tool in readpst pffexport msgconvert /usr/bin/python3; do
  command -v "$tool" >/dev/null || { echo "fidelity: $tool is missing (bash scripts/setup-deps.sh)" >&2; exit 2; }
done
# Debian's python3-olefile lives beside the system interpreter, not beside
# whichever python3 comes first on PATH.
exec /usr/bin/python3 "$repo/bench/fidelity.py" "$build" "$@"
