"""The undo's round trip on the reactos lane, judged on the host: the guest (reactos_round_trip) takes
the registry and the system drive before a tracked setup, after it, and after its undo script ran;
what the machine held before must be what it holds after the undo, outside what the system writes on
its own (SYSTEM_NOISE), and what the setup changed of it must be reported with its old state."""
import json
import ntpath
import os
import re

# What ReactOS writes on its own meanwhile, as seen in the lane's boots: the registry's hives and
# their logs, and the event log, below config. Regular expressions matched against an entry, lower case.
SYSTEM_NOISE = [re.compile(pattern) for pattern in (
    r"^c:\\reactos\\system32\\config\\",
    r"^c:\\documents and settings\\[^\\]+\\ntuser\.dat(\.log)?$",
)]

# Which snapshots each round trip compares: (before, after the setup, after the undo).
SNAPSHOTS = {"undo-installer": (0, 1, 2), "undo-services": (2, 3, 4)}


def read_snapshot(path):
    """{entry (lower case): (entry, digest)} or None when the snapshot is missing or empty."""
    try:
        with open(path, "rb") as handle:
            text = handle.read().decode("utf-8", "replace")
    except OSError:
        return None
    entries = {}
    for line in text.splitlines():
        entry, _, digest = line.rstrip("\r").rpartition("\t")
        if entry:
            entries[entry.lower()] = (entry, digest)
    return entries or None


def is_noise(key):
    return any(pattern.search(key) for pattern in SYSTEM_NOISE)


def differences(before, setup, undone):
    """(changed by the setup, restored, destroyed, left behind, renamed in case): entries, system noise
    left out. An entry whose name is back only in another case is restored in neither sense."""
    keys = {key for key in set(before) | set(setup) | set(undone) if not is_noise(key)}
    changed = sorted(key for key in keys if before.get(key) != setup.get(key))
    restored = [key for key in changed if undone.get(key) == before.get(key)]
    destroyed = sorted(before[key][0] for key in keys
                       if key in before and (key not in undone or undone[key][1] != before[key][1]))
    recased = sorted(f"{before[key][0]} is now {undone[key][0]}" for key in keys
                     if key in before and key in undone and undone[key][1] == before[key][1]
                     and undone[key][0] != before[key][0])
    left = sorted(undone[key][0] for key in keys if key in undone and key not in before)
    return changed, restored, destroyed, left, recased


def known_before(item):
    before = (item or {}).get("before")
    return isinstance(before, dict) and "unknown" not in before


def installer_report_checks(report, changed):
    """The installer's changes to what existed, as the report names them: (passed, text) pairs.
    `changed` holds the snapshots' entries (lower case) that the setup changed: ReactOS's reg.exe,
    which the installer runs for its QWORD, leaves that value as it was."""
    values = {item["path"].lower(): item for item in report.get("registry", [])}
    shared = "hklm\\software\\orvanetestshared\\"
    overwritten = [name for name in ("Text", "Expand", "List", "Blob", "Number", "Marker", "Wide")
                   if f"hklm\\software\\orvanetestshared :: {name.lower()}" in changed]
    unmarked = [name for name in overwritten if values.get(shared + name.lower(), {}).get("change") != "changed"
                or not known_before(values.get(shared + name.lower()))]
    checks = [(not unmarked and len(overwritten) >= 6,
               f"the {len(overwritten)} overwritten values ({', '.join(overwritten)}) are reported as changed, "
               "with their old data" + (f"; not: {unmarked}" if unmarked else ""))]
    path = values.get("hkcu\\environment\\path", {})
    checks.append((path.get("change") == "changed", f"the appended Path is reported as changed: {path.get('change')}"))
    changed = {ntpath.basename(item["path"]).lower() for item in report.get("filesChanged", [])}
    removed = {ntpath.basename(item["path"]).lower() for item in report.get("filesRemoved", [])}
    want = {"shared.dll", "current.cfg", "orvane-shared.ini"}
    checks.append((want <= changed, f"the overwritten, renamed-over and edited files are reported as changed: "
                   f"{sorted(changed)}"))
    checks.append(("obsolete.txt" in removed, f"the deleted file is reported as removed: {sorted(removed)}"))
    return checks + process_checks(report)


def process_checks(report):
    """Every value names its process, the ones the setup deleted included."""
    unnamed = [item["path"] for item in report.get("registry", []) if not item.get("process")
               or not item.get("processId")]
    deleted = sum(1 for item in report.get("registry", []) if item.get("change") == "deleted")
    return [(not unnamed, f"every value names its process, {deleted} deleted ones among them"
             + "".join(f"; none for {path}" for path in unnamed[:10]))]


def services_report_checks(report, changed):
    del changed
    values = {item["path"].lower(): item for item in report.get("registry", [])}
    start = values.get("hklm\\system\\controlset001\\services\\orvaneundoold\\start", {})
    return [(start.get("change") == "changed" and known_before(start),
             f"the disabled service's Start is reported as changed, with its old data: {start.get('change')}")
            ] + process_checks(report)


REPORT_CHECKS = {"undo-installer": installer_report_checks, "undo-services": services_report_checks}


def report(tally, part, status, output, out_dir, read_text):
    """The tracker's and the undo's exit status, the report's checks, then the three snapshots set
    against each other: the figures, and each entry destroyed or left behind."""
    tally.record(status == 0, f"{part}: orvane-track exit status {status}" + (" (ended at its bound)" if status == 124 else ""))
    if status != 0:
        for line in (output or "").splitlines()[-10:]:
            print(f"reactos:     {line}")
    undo_output = read_text(os.path.join(out_dir, "results", part + "-undo.txt")) or ""
    for line in undo_output.splitlines():
        if line.strip() and not line.startswith(("rem ", "REM ")):
            print(f"reactos:   | undo: {line}")
    # A step the undo left alone outside what the snapshots hold (the service manager's own list of
    # services, say) is named, not judged here.
    for line in undo_output.splitlines():
        if line.startswith("left alone:"):
            print(f"reactos: {part}: note: the undo {line}")
    for line in (output or "").splitlines():
        if line.startswith(("snapshot:", "step:")):
            print(f"reactos:   | {line}")
    snapshots = [read_snapshot(os.path.join(out_dir, "results", f"undo-state-{n}.txt")) for n in SNAPSHOTS[part]]
    if any(snapshot is None for snapshot in snapshots):
        tally.record(False, f"{part}: a snapshot of the machine is missing ({SNAPSHOTS[part]})")
        return
    changed, restored, destroyed, left, recased = differences(*snapshots)
    try:
        with open(os.path.join(out_dir, "results", part + ".json"), encoding="utf-8") as handle:
            tracked = json.load(handle)
    except (OSError, ValueError) as error:
        tally.record(False, f"{part}: no JSON report ({error})")
        tracked = None
    if tracked is not None:
        for ok, text in REPORT_CHECKS[part](tracked, set(changed)):
            tally.record(ok, f"{part}: {text}")
    print(f"reactos: {part}: round trip figures: {len(changed)} entries changed by the setup, {len(restored)} restored "
          f"by the undo, {len(destroyed)} destroyed, {len(left)} left behind, {len(recased)} back only in "
          "another case")
    for kind, entries in (("destroyed", destroyed), ("left behind", left), ("back in another case", recased)):
        for entry in entries[:40]:
            print(f"reactos:     {kind}: {entry}")
    tally.record(not destroyed and not left and bool(changed),
                 f"{part}: the machine after the undo is the machine before ({len(destroyed)} destroyed, "
                 f"{len(left)} left behind)")
    # The kernel hands key names over upper-cased: a key the setup deleted must still come back in the
    # case it had.
    tally.record(not recased, f"{part}: the names the undo made again have their old case "
                 f"({len(recased)} in another case)")
