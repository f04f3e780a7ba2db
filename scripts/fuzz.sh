#!/bin/sh
# Builds the pure parts natively with the sanitizers into build/fuzz and runs every fuzz target;
# any sanitizer report stops the target and fails the run. Prints "fuzz: N passed, N failed".
set -eu
cd "$(dirname "$0")/.."
out=build/fuzz
mkdir -p "$out"
flags="-std=c++17 -O1 -g -I. -fsanitize=address,undefined -fno-sanitize-recover=all"
passed=0 failed=0
build_and_run() {
    name=$1; shift
    if clang++ $flags -o "$out/$name" "$@" && "$out/$name"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
    fi
}
build_and_run framing tests/fuzz/FuzzLogFraming.cpp registry/LogFraming.cpp registry/RawLineList.cpp
build_and_run notify-walk tests/fuzz/FuzzNotifyWalk.cpp watcher/NotifyRecordWalk.cpp
build_and_run wildcard tests/fuzz/FuzzWildcard.cpp watcher/PatternMatching.cpp
build_and_run value-boundary tests/fuzz/FuzzValueBoundary.cpp stand-ins/brannock/ValueBoundary.cpp
build_and_run log-passes -include tests/fuzz/shim/FuzzShim.h tests/fuzz/FuzzLogPasses.cpp registry/LogLines.cpp registry/KeyDeletion.cpp registry/RawLineList.cpp
build_and_run base64 -include tests/fuzz/shim/FuzzShim.h tests/fuzz/FuzzBase64.cpp stand-ins/tavish/Base64.cpp
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
