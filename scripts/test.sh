#!/bin/sh
# Builds both architectures and runs the whole test suite in each lane this machine can run: the
# 32-bit product under 32-bit Wine on 32-bit Windows, then the x86_64 build under Wine64, then the
# 32-bit build's tracking, unload and host suites as a 32-bit host on 64-bit Windows (WoW64), then
# the 32-bit build's driver and guest programs on a ReactOS kernel under QEMU, then the native fuzz
# lane. Any failing lane fails the run; the last line adds up every lane.
set -eu
cd "$(dirname "$0")/.."
sh scripts/build.sh
. scripts/lanes.sh
orvane_say_32bit_skipped
status=0 passed=0 failed=0
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
# Adds the last CTest summary in $log to the counts, and fails the run when it counts a failure;
# answers 1 when $log holds no summary.
add_ctest_summary() {
    summary="$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)"
    [ -n "$summary" ] || return 1
    summary_failed="$(echo "$summary" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/')"
    summary_total="$(echo "$summary" | sed -E 's/.* out of ([0-9]+).*/\1/')"
    passed=$((passed + summary_total - summary_failed))
    failed=$((failed + summary_failed))
    [ "$summary_failed" -eq 0 ] || status=1
}
# CTest counts a suite whose cases were skipped as passed, and shows nothing of a passed suite: each
# case a lane skipped is named here with gtest's reason (the line after "Skipped").
say_skipped_cases() {
    lane_log="build/${1%-wow64}/Testing/Temporary/LastTest.log"
    [ -f "$lane_log" ] || return 0
    awk -v lane="$1" '
        reason_next { reason = $0; reason_next = 0; next }
        /:[0-9]+: Skipped$/ { reason_next = 1; next }
        /^\[  SKIPPED \] .* \([0-9]+ ms\)$/ {
            name = $0
            sub(/^\[  SKIPPED \] /, "", name)
            sub(/ \([0-9]+ ms\)$/, "", name)
            print "== " lane " lane skipped " name ": " reason
            reason = ""
        }' "$lane_log"
}
# Each lane's first line says how it runs its code, its last how long it took.
for lane in $orvane_test_lanes; do
    echo "== $lane lane ($(orvane_wine_lane_of "$lane") Windows, $(orvane_way_of "$lane"))"
    lane_started=$(date +%s)
    ctest --preset "$lane" -j2 2>&1 | tee "$log" || true
    if ! add_ctest_summary; then
        echo "== $lane lane: ctest gave no summary"
        status=1
    fi
    say_skipped_cases "$lane"
    echo "== $lane lane took $(($(date +%s) - lane_started)) s"
done
# The import check of the i686 images reads files only: where the i686 lane could not run, it runs
# on its own, so that an image that would not load on XP or 2003 still fails the run.
case " $orvane_test_lanes " in
    *" i686 "*) ;;
    *)
        echo "== i686 image checks (no Wine needed)"
        ctest --test-dir build/i686 -R '^user_imports(_checker)?$' 2>&1 | tee "$log" || true
        if ! add_ctest_summary; then
            echo "== i686 image checks gave no summary"
            status=1
            failed=$((failed + 1))
        fi
        ;;
esac
if [ "$orvane_reactos_lane" = yes ]; then
    echo "== reactos lane (the i686 build on a ReactOS kernel, NT 5.2, under QEMU)"
    lane_started=$(date +%s)
    reactos_log="$(mktemp)"
    sh scripts/reactos-lane.sh 2>&1 | tee "$reactos_log" || true
    reactos_summary="$(grep -E '^reactos: [0-9]+ passed, [0-9]+ failed$' "$reactos_log" | tail -n 1)"
    reactos_skipped="$(grep -c '^reactos lane skipped:' "$reactos_log" || true)"
    rm -f "$reactos_log"
    if [ -n "$reactos_summary" ]; then
        reactos_passed="$(echo "$reactos_summary" | sed -E 's/reactos: ([0-9]+) passed.*/\1/')"
        reactos_failed="$(echo "$reactos_summary" | sed -E 's/.* ([0-9]+) failed/\1/')"
        passed=$((passed + reactos_passed))
        failed=$((failed + reactos_failed))
        [ "$reactos_failed" -eq 0 ] || status=1
    elif [ "$reactos_skipped" -eq 0 ]; then
        echo "== reactos lane gave no summary"
        status=1
        failed=$((failed + 1))
    fi
    echo "== reactos lane took $(($(date +%s) - lane_started)) s"
fi
echo "== native fuzz lane (sanitizers)"
lane_started=$(date +%s)
fuzz_log="$(mktemp)"
sh scripts/fuzz.sh 2>&1 | tee "$fuzz_log" || true
fuzz_summary="$(grep -E '^fuzz: [0-9]+ passed, [0-9]+ failed' "$fuzz_log" | tail -n 1)"
rm -f "$fuzz_log"
if [ -z "$fuzz_summary" ]; then
    echo "== native fuzz lane gave no summary"
    status=1
    failed=$((failed + 1))
else
    fuzz_passed="$(echo "$fuzz_summary" | sed -E 's/fuzz: ([0-9]+) passed.*/\1/')"
    fuzz_failed="$(echo "$fuzz_summary" | sed -E 's/.* ([0-9]+) failed/\1/')"
    passed=$((passed + fuzz_passed))
    failed=$((failed + fuzz_failed))
    [ "$fuzz_failed" -eq 0 ] || status=1
fi
echo "== native fuzz lane took $(($(date +%s) - lane_started)) s"
echo "tests: $passed passed, $failed failed"
exit $status
