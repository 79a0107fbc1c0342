#!/usr/bin/env bash
# Share of test code against source code: non-blank lines of test code (C, C++, Python, shell;
# not data, golden files, dictionaries or corpora) in tests/ and in the fronts' own test folders
# (python/tests, qgis/tests), against the code they test: src/ and the fronts' own code
# (python/landalloc, qgis/landalloc_processing). Given a threshold in percent, exits 1 when the
# share is above it, so CI can hold the line.
#   scripts/test-share.sh [MAX_PERCENT]
set -eu
cd "$(dirname "$0")/.."

count() {  # non-blank lines of the code files under $1
  find "$1" -type f \( -name '*.c' -o -name '*.cc' -o -name '*.cpp' -o -name '*.h' \
    -o -name '*.hpp' -o -name '*.py' -o -name '*.sh' \) -not -path '*/corpus/*' -print0 |
    xargs -0 -r cat | grep -cv '^[[:space:]]*$' || true
}

tests=$(($(count tests) + $(count python/tests) + $(count qgis/tests)))
src=$(($(count src) + $(count python/landalloc) + $(count qgis/landalloc_processing)))
share=$(awk -v t="$tests" -v s="$src" 'BEGIN { printf "%.1f", s ? 100 * t / s : 0 }')
echo "tests: $tests lines"
echo "code:  $src lines"
echo "share: $share %"
if [ $# -ge 1 ]; then
  if awk -v x="$share" -v m="$1" 'BEGIN { exit !(x > m) }'; then
    echo "above $1 %" >&2
    exit 1
  fi
fi
