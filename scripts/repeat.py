#!/usr/bin/env python3
"""Runs one CTest entry of a built lane many times and counts how each run ended.

    repeat.py SUITE RUNS [--lane i686|x86_64|...] [--busy N] [--keep-going]

The entry's command, environment, timeout and pass/fail patterns come from CTest itself
(`ctest --show-only=json-v1`), so a repeat runs exactly what the test run does. Every run gets the
entry's own timeout, so a hang is counted as a failure instead of stalling the series. The runs share
one Wine prefix of their own, made like the test run's fixture makes its prefix: a repeat never
touches the prefix of a test run going on at the same time.

--busy N starts N busy loops beside the runs (the machine "loaded") and ends them afterwards.
The output of every failed run is kept in build/repeat/<lane>/<suite>/run-<n>.log.
The last line reads "repeat: SUITE on LANE: R runs, F failed (idle|N busy loops)".
"""
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def ctest_entries(lane):
    listing = subprocess.run(["ctest", "--preset", lane, "--show-only=json-v1"], cwd=ROOT,
                             capture_output=True, text=True, check=True)
    return {test["name"]: test for test in json.loads(listing.stdout)["tests"]}


def property_of(test, name, default=None):
    for prop in test.get("properties", []):
        if prop["name"] == name:
            return prop["value"]
    return default


def environment_of(test, prefix):
    env = dict(os.environ)
    for assignment in property_of(test, "ENVIRONMENT", []):
        key, _, value = assignment.partition("=")
        env[key] = value
    if "ORVANE_WINEPREFIX" in env:
        env["ORVANE_WINEPREFIX"] = prefix
    return env


def fixture_test(entries, fixture, role):
    """The test that sets up (role FIXTURES_SETUP) or cleans up a fixture."""
    for test in entries.values():
        if fixture in (property_of(test, role, []) or []):
            return test
    return None


def make_prefix(entries, fixture, prefix):
    """Runs the fixture's set-up command against this repeat's own prefix: the commands that make and
    remove a Wine prefix take the prefix as their first argument."""
    setup = fixture_test(entries, fixture, "FIXTURES_SETUP")
    command = list(setup["command"])
    command[1] = prefix
    env = environment_of(setup, prefix)
    subprocess.run(command, env=env, check=True, stdout=subprocess.DEVNULL, timeout=300)


def drop_prefix(entries, fixture, prefix, env):
    cleanup = fixture_test(entries, fixture, "FIXTURES_CLEANUP")
    if cleanup is not None:
        command = list(cleanup["command"])
        command[1] = prefix
        subprocess.run(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    shutil.rmtree(prefix, ignore_errors=True)


def run_once(test, env):
    """One run: 'passed', 'failed' or 'timed out', and what it printed."""
    timeout = float(property_of(test, "TIMEOUT", 1500))
    process = subprocess.Popen(test["command"], cwd=property_of(test, "WORKING_DIRECTORY", ROOT), env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True)
    try:
        output, _ = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        return "timed out", output.decode(errors="replace")
    text = output.decode(errors="replace")
    passes = property_of(test, "PASS_REGULAR_EXPRESSION", [])
    fails = property_of(test, "FAIL_REGULAR_EXPRESSION", [])
    if any(re.search(pattern, text) for pattern in fails):
        return "failed", text
    if passes:
        return ("passed" if any(re.search(p, text) for p in passes) else "failed"), text
    return ("passed" if process.returncode == 0 else "failed"), text


def start_busy_loops(count):
    return [subprocess.Popen(["sh", "-c", "while :; do :; done"], start_new_session=True) for _ in range(count)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("suite")
    parser.add_argument("runs", type=int)
    parser.add_argument("--lane", default="i686")
    parser.add_argument("--busy", type=int, default=0)
    parser.add_argument("--keep-going", action="store_true", help="(the default) every run is made")
    args = parser.parse_args()

    entries = ctest_entries(args.lane)
    if args.suite not in entries:
        print(f"repeat: no test '{args.suite}' in lane {args.lane}", file=sys.stderr)
        return 2
    test = entries[args.suite]
    logs = os.path.join(ROOT, "build", "repeat", args.lane, args.suite)
    shutil.rmtree(logs, ignore_errors=True)
    os.makedirs(logs)
    prefix = os.path.join(ROOT, "build", "repeat", args.lane, "wineprefix-" + args.suite)
    fixtures = property_of(test, "FIXTURES_REQUIRED", []) or []
    fixture = fixtures[0] if fixtures else None
    env = environment_of(test, prefix)
    if fixture is not None:
        make_prefix(entries, fixture, prefix)

    busy = start_busy_loops(args.busy)
    failed = 0
    started = time.monotonic()
    try:
        for run in range(1, args.runs + 1):
            began = time.monotonic()
            outcome, output = run_once(test, env)
            seconds = time.monotonic() - began
            if outcome != "passed":
                failed += 1
                path = os.path.join(logs, f"run-{run}.log")
                with open(path, "w") as log:
                    log.write(output)
                print(f"run {run}: {outcome} after {seconds:.1f} s, output in {path}", flush=True)
                # A program killed at its timeout can leave the Wine session it shared with the
                # background processes in a state no later run should inherit.
                if fixture is not None and outcome == "timed out":
                    drop_prefix(entries, fixture, prefix, env)
                    make_prefix(entries, fixture, prefix)
            else:
                print(f"run {run}: passed in {seconds:.1f} s", flush=True)
    finally:
        for loop in busy:
            os.killpg(loop.pid, signal.SIGKILL)
            loop.wait()
        if fixture is not None:
            drop_prefix(entries, fixture, prefix, env)
    load = f"{args.busy} busy loops" if args.busy else "idle"
    print(f"repeat: {args.suite} on {args.lane}: {args.runs} runs, {failed} failed ({load}, "
          f"{time.monotonic() - started:.0f} s)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
