#!/bin/sh
# Fails when a tracked C or C++ source differs from what clang-format makes of it (.clang-format at
# the root), naming the files; run by CTest so that an unformatted file fails the suite.
set -eu
root="${1:-$(dirname "$0")/..}"
cd "$root"
files="$(git ls-files '*.c' '*.cpp' '*.h')"
[ -n "$files" ] || { echo "check-format: no sources found under $root"; exit 1; }
# shellcheck disable=SC2086
clang-format --dry-run -Werror $files
echo "check-format: $(echo "$files" | wc -l) files formatted"
