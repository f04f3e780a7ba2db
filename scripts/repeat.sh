#!/bin/sh
# Runs one test suite of a built lane many times, each run bounded by the suite's own timeout, and
# counts the failures: `sh scripts/repeat.sh SUITE N [--lane i686|x86_64] [--busy 2]`. With --busy,
# that many busy loops run beside it. See scripts/repeat.py.
set -eu
cd "$(dirname "$0")/.."
exec python3 scripts/repeat.py "$@"
