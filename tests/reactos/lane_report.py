#!/usr/bin/env python3
"""Reads what one boot of the ReactOS lane left and prints its verdict.

  lane_report.py OUT_DIR RUN_LANE_OUTPUT RUN_LANE_STATUS WALL_SECONDS

OUT_DIR holds com1.log (the guest's serial log: the kernel's debug output and run.cmd's lines) and
the payload folder as it came back (results/PART.txt). Prints one line per part and per test case,
the driver's log lines the guest program reported, the lane's figures, and as its last line
"reactos: N passed, M failed". A part whose result is missing, a bugcheck, a timeout and a run that
never reached its end count as failures. Exits 1 when anything failed.
"""
import json
import os
import re
import sys

import round_trip
import tracker_expectations

# run-lane.sh's exit status, by what it means for the lane.
LANE_STATUS = {0: None, 1: "run.cmd ended with a non-zero status", 2: "the guest timed out",
               3: "the kernel stopped (bugcheck or debugger prompt)",
               4: "the guest found no payload or QEMU ended early", 64: "run-lane.sh could not run"}

GTEST_END = re.compile(r"^\[\s+(OK|FAILED)\s+\] (\S+) \((\d+) ms\)")
GTEST_RUN = re.compile(r"^\[ RUN\s+\] (\S+)")
GTEST_PASSED = re.compile(r"^\[  PASSED  \] (\d+) tests?\.")
PART_BEGIN = re.compile(r"GUEST-PART-BEGIN (\S+)\s+(\d+):(\d+):(\d+)[.,](\d+)")
PART_END = re.compile(r"GUEST-PART-END (\S+) rc=(-?\d+)\s+(\d+):(\d+):(\d+)[.,](\d+)")
LOADER_REFUSAL = re.compile(r"Failed to snap (\S+) for (\S+)")
REPORTED = ("driver-line ", "capture-state ", "unload under writes", "unloggable name", "failed operations",
            "monitor-value ")

# How each part of run.cmd is judged (by its exit status when it is not named here): as a gtest
# program (one result per case), as the shell's folders, or as a tracked setup whose JSON report must
# match the expectation of that name (tracker_expectations.py). The parts and their order are
# run.cmd's own.
PART_KINDS = {"driver-callback": "gtest", "folders": "folders", "undo-installer": "undo", "undo-services": "undo",
              "track-sample": "track:sample", "track-nsis": "track:nsis", "track-service": "track:service",
              "track-inf": "track:inf", "track-case": "track:case", "track-probe": "track:probe", "tracking-files": "gtest",
              "host-scenarios": "gtest", "watcher-core": "gtest", "watcher-delivery": "gtest"}
RUN_CMD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "run.cmd")
# The probe's count of the capture's hooks per library, and the hook engine's refusals as the tracker's
# report quotes them (capture/InlineHook.cpp's descriptions): any refusal fails the lane.
HOOK_COUNT = re.compile(r"^hook-probe: hooks in (\S+): (\d+) installed, (\d+) refused")
HOOK_REFUSALS = ("cannot be replaced by one locked write", "cannot be moved unchanged", "begins with a jump",
                 "no executable memory for a trampoline", "page cannot be made writable",
                 "could not be held still", "changed the target's entry")
HOOK_FIGURES = []


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


def part_programs(run_cmd):
    """{part: the program its command runs}, in run.cmd's order: the line after each BEGIN echo."""
    programs, part = {}, None
    for line in (run_cmd or "").splitlines():
        match = re.match(r"echo GUEST-PART-BEGIN (\S+)", line.strip())
        if match:
            part = match.group(1)
        elif part is not None and line.strip():
            words = line.split()
            while words and (words[0].lower() in ("call", "reactos_bounded_run.exe") or words[0].isdigit()):
                words = words[1:]
            programs[part] = words[0] if words else ""
            part = None
    return programs


def loader_refusal(com1, program):
    """What the guest's loader refused `program` for, as it says on the serial log, or None."""
    for match in LOADER_REFUSAL.finditer(com1):
        if program and match.group(2).lower().endswith(program.lower()):
            return match.group(1)
    return None


def report_gtest(tally, part, output, com1, program):
    """One result per case of a gtest program's output; a program that never finished fails."""
    if output is None or not output.strip():
        refused = loader_refusal(com1, program)
        why = f"the loader refused {program} ({refused} is missing)" if refused else "no output came back"
        tally.record(False, f"{part}: {why}")
        # The guest programs tell the debugger as each case starts and ends: name the last one begun.
        cases = re.findall(r"guest-case: (start|passed|FAILED) (\S+)", com1)
        if cases and cases[-1][0] == "start":
            print(f"reactos:     the serial log ends inside {cases[-1][1]}")
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


def read_folders(output):
    return dict(line[len("folder "):].split("=", 1) for line in (output or "").splitlines()
                if line.startswith("folder ") and "=" in line)


def report_tracked(tally, part, expectation, status, output, out_dir, folders, com1):
    """The tracker's exit status, then each check of its JSON report against the expectation."""
    for line in (output or "").splitlines():
        if line.startswith(("hook-probe:", "orvane-track:", "orvane-sample-setup:", "Summary:")):
            print(f"reactos:   | {line}")
    tally.record(status == 0, f"{part}: orvane-track exit status {status}"
                 + (" (ended at its bound)" if status == 124 else ""))
    refused = loader_refusal(com1, "orvane-track.exe") if status == 128 else None
    if refused:
        print(f"reactos:     the loader refused orvane-track.exe ({refused} is missing)")
    elif status != 0:
        for line in (output or "").splitlines()[-10:]:
            print(f"reactos:     {line}")
    try:
        with open(os.path.join(out_dir, "results", part + ".json"), encoding="utf-8") as handle:
            report = json.load(handle)
    except (OSError, ValueError) as error:
        tally.record(False, f"{part}: no JSON report ({error})")
        return
    if not folders:
        tally.record(False, f"{part}: the guest's folders are unknown")
        return
    for ok, text in tracker_expectations.compare(report, getattr(tracker_expectations, expectation)(folders)):
        tally.record(ok, f"{part}: {text}")
    for item in report.get("eliminatedRegistry", []):
        print(f"reactos:   | {part}: registry noise {item['path']} ({item.get('reason', '')})")
    report_hook_refusals(tally, part, report)
    if expectation == "probe":
        lines = [line for line in (output or "").splitlines() if line.startswith("hook-probe:")]
        quiet = any("is loaded" in line for line in lines) and any("logs nothing of its own" in line for line in lines)
        tally.record(quiet, f"{part}: the capture DLL is loaded into the setup and logs nothing of its own")
        report_hook_counts(tally, part, lines)


def report_hook_refusals(tally, part, report):
    """Each gap the report names that a refused hook caused fails the lane."""
    gaps = report.get("oldStateGaps", [])
    gaps += [gap.get("message", "") for gap in report.get("registryCaptureIncomplete", [])]
    refused = [gap for gap in gaps if any(refusal in gap for refusal in HOOK_REFUSALS)]
    tally.record(not refused, f"{part}: the report names {len(refused)} gap(s) from a refused hook")
    for gap in refused:
        print(f"reactos:     {gap}")


def report_hook_counts(tally, part, lines):
    """The probe's hooks per library, where the tracker gave a store: all installed, none refused."""
    if not any("gave a store" in line for line in lines):
        return
    counts = [match.groups() for match in map(HOOK_COUNT.match, lines) if match]
    for library, installed, refused in counts:
        HOOK_FIGURES.append(f"hooks {library} {installed} installed {refused} refused")
        tally.record(refused == "0", f"{part}: hooks in {library}: {installed} installed, {refused} refused")
    if not counts:
        tally.record(False, f"{part}: the probe counted no hooks")


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
    programs = part_programs(read_text(RUN_CMD))
    folders = {}
    for part, program in programs.items():
        kind = PART_KINDS.get(part, "status")
        took, status = times.get(part, (None, None))
        output = read_text(os.path.join(out_dir, "results", part + ".txt"))
        if kind == "gtest":
            report_gtest(tally, part, output, com1, program)
        elif status is None:
            tally.record(False, f"{part}: it never ended")
        elif kind == "folders":
            folders = read_folders(output)
            tally.record(status == 0 and len(folders) == 5, f"{part}: {folders}")
        elif kind == "undo":
            round_trip.report(tally, part, status, output, out_dir, read_text)
        elif kind.startswith("track:"):
            report_tracked(tally, part, kind[len("track:"):], status, output, out_dir, folders, com1)
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
    figures += HOOK_FIGURES
    print("reactos: figures: " + ", ".join(figures))
    print(f"reactos: {tally.passed} passed, {tally.failed} failed")
    return 1 if tally.failed else 0


if __name__ == "__main__":
    sys.exit(main())
