#!/usr/bin/env python3
"""Prints what one bench boot of the reactos lane measured (scripts/reactos-lane.sh --bench).

  bench_report.py OUT_DIR RUN_LANE_OUTPUT RUN_LANE_STATUS WALL_SECONDS

Each part of tests/reactos/bench.cmd left its benchmark's output in results/PART.txt: printed whole,
under a line saying where it was measured. A part passes when its benchmark ended with 0; the last
line is "reactos bench: N passed, M failed". Exits 1 when anything failed.
"""
import os
import sys

from lane_report import LANE_STATUS, part_times, read_text

PARTS = ("bench-capture-existing", "bench-capture-new", "bench-capture-files", "bench-watcher-burst")


def main():
    out_dir, lane_output_path, lane_status, wall = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    com1 = read_text(os.path.join(out_dir, "com1.log")) or ""
    passed = failed = 0
    print("reactos bench: measured on ReactOS (NT 5.2, 32-bit, Debug build) under QEMU, which emulates the "
          "processor (TCG): every figure is slower than on hardware, and only the ratios measured in this "
          "one boot compare")
    problem = LANE_STATUS.get(lane_status, f"run-lane.sh exited with {lane_status}")
    if problem:
        print(f"reactos bench: FAILED the boot: {problem}")
        failed += 1
    times = part_times(com1)
    for part in PARTS:
        took, status = times.get(part, (None, None))
        output = read_text(os.path.join(out_dir, "results", part + ".txt"))
        ok = status == 0 and bool(output)
        passed, failed = passed + ok, failed + (not ok)
        when = f", {took:.0f} s in the guest" if took is not None else ""
        print(f"reactos bench: {'passed' if ok else 'FAILED'} {part} (exit status {status}{when})")
        for line in (output or "").splitlines():
            print(f"reactos bench:   {line}")
    print(f"reactos bench: lane wall {wall} s")
    print(f"reactos bench: {passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
