#!/bin/sh
# A sweep of the bundled example: 9 values of the perimeter weight x 4 repeats on 2 threads
# against 1 thread, timed as bench/repeats.sh times repeats.
# Usage: bench/sweep.sh BINARY [ROUNDS]
set -eu
if [ $# -lt 1 ]; then
  echo "usage: $0 path/to/landalloc [rounds]" >&2
  exit 2
fi
exec "$(dirname "$0")/repeats.sh" "$1" "${2:-3}" --repeats=4 \
  '--sweep=process.functions-weight[1]=0.25:16:9log'
