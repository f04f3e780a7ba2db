#!/bin/sh
# Builds the pure parts natively with the sanitizers into build/fuzz and runs every fuzz target;
# any sanitizer report stops the target and fails the run. Prints "fuzz: N passed, N failed".
# Each target runs twice: its seeded cases, then (when clang's libFuzzer runtime is installed) a
# coverage-guided build of the same checks for a few seconds, starting from the committed corpus in
# tests/fuzz/corpus/<target>/. FUZZ_SECONDS sets that time (0 skips the coverage-guided runs).
set -eu
cd "$(dirname "$0")/.."
out=build/fuzz
mkdir -p "$out/lf" "$out/corpus"
flags="-std=c++17 -O1 -g -I. -Wall -Wextra -Werror -fno-sanitize-recover=all"
seconds=${FUZZ_SECONDS:-3}
have_libfuzzer=no
if ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
    have_libfuzzer=yes
fi
passed=0 failed=0
started=$(date +%s)
lane_started=$started
pass() { passed=$((passed + 1)); }
# Seconds since the previous call, compile included.
elapsed() {
    now=$(date +%s)
    echo "$1: $((now - started)) s, compile included"
    started=$now
}
fail() { failed=$((failed + 1)); echo "fuzz: $1 FAILED"; }

run_seeded() {
    name=$1; shift
    if clang++ $flags -fsanitize=address,undefined -o "$out/$name" "$@" && "$out/$name"; then
        pass
    else
        fail "$name"
    fi
}

# New inputs go to build/fuzz/corpus/<target>; the committed corpus is only read.
run_guided() {
    name=$1; shift
    [ "$have_libfuzzer" = yes ] && [ "$seconds" -gt 0 ] || return 0
    mkdir -p "$out/corpus/$name" "tests/fuzz/corpus/$name"
    if clang++ $flags -DORVANE_LIBFUZZER -fsanitize=fuzzer,address,undefined -o "$out/lf/$name" "$@" &&
        "$out/lf/$name" "$out/corpus/$name" "tests/fuzz/corpus/$name" -max_total_time="$seconds" \
            -timeout=10 -rss_limit_mb=1024 -max_len=65536 -artifact_prefix="$out/lf/$name-" \
            -print_final_stats=0 >"$out/lf/$name.log" 2>&1; then
        echo "$name (libFuzzer): $(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$out/lf/$name.log")"
        pass
    else
        tail -40 "$out/lf/$name.log"
        fail "$name (libFuzzer; the input is in $out/lf/$name-*)"
    fi
}

run_both() {
    run_seeded "$@"
    elapsed "$1"
    run_guided "$@"
    elapsed "$1 (libFuzzer)"
}

shim="-include tests/fuzz/shim/FuzzShim.h"
run_both framing tests/fuzz/FuzzLogFraming.cpp registry/LogFraming.cpp registry/RawLineList.cpp
run_both notify-walk tests/fuzz/FuzzNotifyWalk.cpp watcher/NotifyRecordWalk.cpp
run_both wildcard tests/fuzz/FuzzWildcard.cpp watcher/PatternMatching.cpp
run_both value-boundary tests/fuzz/FuzzValueBoundary.cpp stand-ins/brannock/ValueBoundary.cpp
run_both log-passes $shim tests/fuzz/FuzzLogPasses.cpp registry/LogLines.cpp registry/KeyDeletion.cpp \
    registry/RawLineList.cpp
run_both base64 $shim tests/fuzz/FuzzBase64.cpp stand-ins/tavish/Base64.cpp
run_both instruction-length tests/fuzz/FuzzInstructionLength.cpp capture/InstructionLength.cpp
# The capture line builder is C, which clang++ would compile as C++: it becomes an object first,
# built as C11 with the coverage hooks libFuzzer reads (the seeded build's runtime ignores them).
c_flags="-std=c11 -O1 -g -I. -Wall -Wextra -Werror -fno-sanitize-recover=all"
c_sanitizers=address,undefined
[ "$have_libfuzzer" = no ] || c_sanitizers=fuzzer-no-link,$c_sanitizers
if clang $c_flags -fsanitize=$c_sanitizers -c driver/CaptureLine.c -o "$out/CaptureLine.o"; then
    run_both capture-line tests/fuzz/FuzzCaptureLine.cpp "$out/CaptureLine.o"
else
    fail "capture-line (compiling driver/CaptureLine.c)"
fi
# The driver's log ring, and its notification table with the pending table it drives.
if clang $c_flags -fsanitize=$c_sanitizers -c driver/LogRing.c -o "$out/LogRing.o"; then
    run_both log-ring tests/fuzz/FuzzLogRing.cpp "$out/LogRing.o"
else
    fail "log-ring (compiling driver/LogRing.c)"
fi
if clang $c_flags -fsanitize=$c_sanitizers -c driver/NotifyAction.c -o "$out/NotifyAction.o" &&
    clang $c_flags -fsanitize=$c_sanitizers -c driver/PendingTable.c -o "$out/PendingTable.o"; then
    run_both notify-action tests/fuzz/FuzzNotifyAction.cpp "$out/NotifyAction.o" "$out/PendingTable.o"
else
    fail "notify-action (compiling driver/NotifyAction.c, driver/PendingTable.c)"
fi
echo "fuzz lane: $(($(date +%s) - lane_started)) s"
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
