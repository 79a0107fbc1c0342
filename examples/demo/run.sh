#!/bin/sh
# Runs the bundled example with the given landalloc binary.
set -eu
bin="$1"
here="$(cd "$(dirname "$0")" && pwd)"
if [ ! -f "$here/config.json" ]; then
  echo "landalloc is built at $bin; the bundled example is not in place yet."
  "$bin" || true
  exit 0
fi
mkdir -p "$here/out"
cd "$here"
"$bin" --seed=1 config.json
