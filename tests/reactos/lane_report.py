#!/usr/bin/env python3
"""Reads what one boot of the ReactOS lane left and prints its verdict.

  lane_report.py OUT_DIR RUN_LANE_OUTPUT RUN_LANE_STATUS WALL_SECONDS

OUT_DIR holds com1.log (the guest's serial log: the kernel's debug output and run.cmd's lines) and
the payload folder as it came back (results/PART.txt). Prints one line per part and per test case,
the driver's log lines the guest program reported, the lane's figures, and as its last line
"reactos: N passed, M failed". A part whose result is missing, a bugcheck, a timeout and a run that
never reached its end count as failures. Exits 1 when anything failed.
"""
import os
import re
import sys

# run-lane.sh's exit status, by what it means for the lane.
LANE_STATUS = {0: None, 1: "run.cmd ended with a non-zero status", 2: "the guest timed out",
               3: "the kernel stopped (bugcheck or debugger prompt)",
               4: "the guest found no payload or QEMU ended early", 64: "run-lane.sh could not run"}

GTEST_END = re.compile(r"^\[\s+(OK|FAILED)\s+\] (\S+) \((\d+) ms\)")
GTEST_RUN = re.compile(r"^\[ RUN\s+\] (\S+)")
GTEST_PASSED = re.compile(r"^\[  PASSED  \] (\d+) tests?\.")
PART_BEGIN = re.compile(r"GUEST-PART-BEGIN (\S+) (\d+):(\d+):(\d+)[.,](\d+)")
PART_END = re.compile(r"GUEST-PART-END (\S+) rc=(-?\d+) (\d+):(\d+):(\d+)[.,](\d+)")
LOADER_REFUSAL = re.compile(r"Failed to snap (\S+) for (\S+)")
REPORTED = ("driver-line ", "capture-state ", "unload under writes", "unloggable name", "failed operations")

# The parts run.cmd runs, in order, and whether each is a gtest program (one result per case).
PARTS = [("install-driver", False), ("driver-callback", True)]


class Tally:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def record(self, ok, text):
        if ok:
            self.passed += 1
        else:
            self.failed += 1
        print(f"reactos: {'passed' if ok else 'FAILED'} {text}")


def read_text(path):
    try:
        with open(path, "rb") as handle:
            return handle.read().decode("latin-1").replace("\r", "")
    except OSError:
        return None


def seconds(match, first):
    hours, minutes, secs, fraction = (match.group(i) for i in range(first, first + 4))
    return int(hours) * 3600 + int(minutes) * 60 + int(secs) + int(fraction) / 10 ** len(fraction)


def part_times(com1):
    """{part: (seconds it took in the guest, exit status)} from the serial log's part lines."""
    begun, ended = {}, {}
    for line in com1.splitlines():
        match = PART_BEGIN.search(line)
        if match:
            begun[match.group(1)] = seconds(match, 2)
        match = PART_END.search(line)
        if match:
            ended[match.group(1)] = (seconds(match, 3), int(match.group(2)))
    times = {}
    for part, (end, status) in ended.items():
        took = end - begun[part] if part in begun else None
        if took is not None and took < 0:
            took += 24 * 3600
        times[part] = (took, status)
    return times


def report_gtest(tally, part, output, com1):
    """One result per case of a gtest program's output; a program that never finished fails."""
    if output is None or not output.strip():
        refusals = [m for m in LOADER_REFUSAL.finditer(com1)]
        why = f"the loader refused it ({refusals[0].group(1)} for {refusals[0].group(2)})" if refusals \
            else "no output came back"
        tally.record(False, f"{part}: {why}")
        return
    running, failure_lines = None, []
    for line in output.splitlines():
        if line.startswith(REPORTED):
            print(f"reactos:   | {line}")
        match = GTEST_RUN.match(line)
        if match:
            running, failure_lines = match.group(1), []
            continue
        match = GTEST_END.match(line)
        if match and match.group(2) == running:
            ok = match.group(1) == "OK"
            tally.record(ok, f"{part} {running} ({int(match.group(3)) / 1000:.1f} s)")
            if not ok:
                for detail in failure_lines[:30]:
                    print(f"reactos:     {detail}")
            running = None
            continue
        if running is not None and not line.startswith(REPORTED):
            failure_lines.append(line)
    if running is not None:
        tally.record(False, f"{part} {running}: did not finish")
        for detail in failure_lines[-15:]:
            print(f"reactos:     {detail}")
    elif not any(GTEST_PASSED.match(line) or line.startswith("[  FAILED  ]") for line in output.splitlines()):
        tally.record(False, f"{part}: the program ended without its summary")


def main():
    out_dir, lane_output_path, lane_status, wall = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    tally = Tally()
    com1 = read_text(os.path.join(out_dir, "com1.log")) or ""
    lane_output = read_text(lane_output_path) or ""

    problem = LANE_STATUS.get(lane_status, f"run-lane.sh exited with {lane_status}")
    if problem:
        for line in lane_output.splitlines():
            if line.startswith("lane:") and ("|" in line or "BUGCHECK" in line or "timeout" in line):
                print(f"reactos: {line}")
        tally.record(False, f"the boot: {problem}")
    if "GUEST-ALL-PARTS-DONE" not in com1:
        tally.record(False, "run.cmd did not reach its end")

    times = part_times(com1)
    for part, is_gtest in PARTS:
        took, status = times.get(part, (None, None))
        output = read_text(os.path.join(out_dir, "results", part + ".txt"))
        if is_gtest:
            report_gtest(tally, part, output, com1)
        elif status is None:
            tally.record(False, f"{part}: it never ended")
        else:
            tally.record(status == 0, f"{part} (exit status {status})")
            if status != 0 and output:
                for line in output.splitlines()[:10]:
                    print(f"reactos:     {line}")

    assertions = [line for line in com1.splitlines() if "*** Assertion failed" in line]
    for line in sorted(set(assertions)):
        print(f"reactos: kernel assertion ({assertions.count(line)}x): {line.strip()}")
    done = re.search(r"lane: qemu wall time ([\d.]+) s \(marker seen after ([\d.]+) s\)", lane_output)
    figures = [f"LANE-DONE after {done.group(2)} s" if done else "no LANE-DONE",
               f"QEMU wall {done.group(1)} s" if done else "QEMU wall unknown",
               f"lane wall {wall} s (payload disk, boot, copy back)",
               f"{len(assertions)} kernel assertion(s)"]
    figures += [f"{part} {took:.1f} s" for part, (took, _) in times.items() if took is not None]
    print("reactos: figures: " + ", ".join(figures))
    print(f"reactos: {tally.passed} passed, {tally.failed} failed")
    return 1 if tally.failed else 0


if __name__ == "__main__":
    sys.exit(main())
