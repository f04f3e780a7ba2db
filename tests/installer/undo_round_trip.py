#!/usr/bin/env python3
"""The undo's round trip, driven from the Linux side: what a machine held before a tracked setup
must be what it holds after the tracker's undo script has run.

For each setup (the NSIS test installer, with /EXISTING changing state the machine had before it;
the Windows Installer test packages; the sample setup), in the lane's prefix:
  1. prepare the state the setup will change (for the installer: a Path, a value of each type, a
     Run entry, a value and a key tree it deletes, shared files and an INI file);
  2. dump the registry (HKLM\\Software, HKLM\\System\\CurrentControlSet\\Services, HKCU, as regedit
     exports them) and every file of the prefix's drive C: (name and bytes);
  3. run the setup under orvane-track --uninstall-script, then the script;
  4. dump again. The two dumps must not differ, outside what the system itself writes (SYSTEM_NOISE).

    undo_round_trip.py BIN_DIR WORK_DIR [SETUP...]
SETUP names the setups to run (installer, packages, sample); all of them without.
Environment: ORVANE_WINEPREFIX, ORVANE_WINE_LANE (set by CTest).
"""
import hashlib
import ntpath
import json
import os
import re
import shutil
import subprocess
import sys

bin_dir, work = (os.path.abspath(p) for p in sys.argv[1:3])
chosen = sys.argv[3:] or ["installer", "packages", "sample"]
lane = os.environ.get("ORVANE_WINE_LANE", "win64")
# The lane's loader, which runs 32-bit programs natively or emulated as the machine does.
loader = subprocess.run(["sh", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine", "loader.sh")],
                        env=dict(os.environ, ORVANE_WINE_LANE=lane), capture_output=True, text=True,
                        check=True).stdout.strip()
prefix = os.environ["ORVANE_WINEPREFIX"]
failures = []

# What Wine and its programs write on their own while a setup runs and its undo after it: window
# positions, caches, the registry's own bookkeeping, the files Wine keeps for itself. Each entry is
# a regular expression matched against a registry line's key or a file's path, lower case.
SYSTEM_NOISE = [
    r"^hkey_current_user\\software\\wine\\",
    r"^hkey_current_user\\console",  # the console window of cmd, which runs the undo script
    r"^hkey_current_user\\software\\microsoft\\windows\\currentversion\\explorer\\",
    r"^hkey_current_user\\software\\microsoft\\windows nt\\currentversion\\(windows|devices)",
    r"^hkey_local_machine\\software\\microsoft\\windows nt\\currentversion\\(perflib|profilelist)",
    r"^hkey_local_machine\\software\\(wow6432node\\)?microsoft\\cryptography\\rng",
    r"^hkey_current_user\\software\\microsoft\\windows\\shell\\",
    r"^drive_c/windows/temp/",
    r"^drive_c/users/[^/]+/(appdata/local/)?temp/",
    r"^drive_c/windows/logs/",
    r"^drive_c/windows/installer/",  # Windows Installer's copy of a package, kept for its repair
]
NOISE = [re.compile(pattern) for pattern in SYSTEM_NOISE]


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL: " + message)


def win(path):
    return "Z:" + path.replace("/", "\\")


def wine(*args, timeout=300):
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
    return subprocess.run([loader] + list(args), env=env, timeout=timeout, capture_output=True)


def wow64():
    return lane == "wow64"


def software(key):
    """A key below HKLM\\Software as a 32-bit program on 64-bit Windows reaches it."""
    return "Software\\Wow6432Node\\" + key if wow64() else "Software\\" + key


def common_files():
    return os.path.join(prefix, "drive_c", "Program Files (x86)" if wow64() else "Program Files", "Common Files")


# ---- dumps ---------------------------------------------------------------------------------------

DUMPED_KEYS = ["HKEY_LOCAL_MACHINE\\Software", "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services",
               "HKEY_CURRENT_USER"]


def registry_lines(key, tag):
    """The key's tree as regedit exports it: one entry per key and per value, each with its key."""
    target = os.path.join(work, tag + ".reg")
    if os.path.exists(target):
        os.remove(target)
    wine("regedit", "/e", win(target), key, timeout=120)
    check(os.path.exists(target), f"regedit could not export {key}")
    if not os.path.exists(target):
        return set()
    with open(target, encoding="utf-16") as f:
        text = f.read().replace("\\\n  ", "")
    entries, current = set(), ""
    for line in text.splitlines()[1:]:
        if line.startswith("["):
            current = line[1:-1]
            entries.add(current)
        elif line.strip():
            entries.add(current + " :: " + line)
    return entries


def file_digests():
    """Every file of drive C: (path relative to the prefix) with a digest of its bytes."""
    digests = {}
    root = os.path.join(prefix, "drive_c")
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            if os.path.islink(path) or not os.path.isfile(path):
                continue
            relative = os.path.relpath(path, prefix).lower()
            with open(path, "rb") as f:
                digests[relative] = hashlib.sha1(f.read()).hexdigest()
    return digests


def dump(tag):
    registry = set()
    for index, key in enumerate(DUMPED_KEYS):
        registry |= registry_lines(key, f"{tag}-{index}")
    return {"registry": registry, "files": file_digests()}


def is_noise(entry):
    return any(pattern.search(entry.lower()) for pattern in NOISE)


def differences(before, after):
    """(what the round trip lost or changed, what it left behind), system noise left out."""
    lost = sorted(e for e in before["registry"] - after["registry"] if not is_noise(e))
    left = sorted(e for e in after["registry"] - before["registry"] if not is_noise(e))
    for path, digest in before["files"].items():
        if is_noise(path):
            continue
        if path not in after["files"]:
            lost.append("file removed: " + path)
        elif after["files"][path] != digest:
            lost.append("file changed: " + path)
    left += ["file added: " + p for p in after["files"] if p not in before["files"] and not is_noise(p)]
    return lost, left


# ---- the setups ----------------------------------------------------------------------------------

EXISTING_REG = r"""Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Environment]
"Path"=hex(2):43,00,3a,00,5c,00,6f,00,6c,00,64,00,2d,00,74,00,6f,00,6f,00,6c,00,73,00,00,00

[HKEY_LOCAL_MACHINE\{run}]
"OrvaneShared"="old run entry"

[HKEY_LOCAL_MACHINE\{shared}]
"Text"="old text"
"Expand"=hex(2):25,00,54,00,45,00,4d,00,50,00,25,00,5c,00,6f,00,6c,00,64,00,00,00
"List"=hex(7):6f,00,6e,00,65,00,00,00,74,00,77,00,6f,00,00,00,00,00
"Blob"=hex:aa,bb,cc
"Number"=dword:00000001
"Marker"=hex(0):01,02,03
"Wide"=hex(b):01,02,03,04,05,06,07,08
"Obsolete"="to be deleted"

[HKEY_LOCAL_MACHINE\{shared}\OldPlugin]
"Name"="old plugin"

[HKEY_LOCAL_MACHINE\{shared}\OldPlugin\Settings]
"Level"=dword:00000003
"Odd"=hex:01
"""

EXISTING_FILES = {
    "OrvaneShared/shared.dll": b"the shared library as the machine had it\r\n",
    "OrvaneShared/current.cfg": b"setting=old\r\n",
    "OrvaneShared/obsolete.txt": b"a file the setup deletes\r\n",
}
EXISTING_INI = b"[Settings]\r\nColour=blue\r\n"


def ini_path():
    return os.path.join(prefix, "drive_c", "windows", "orvane-shared.ini")


def prepare_existing_state():
    script = os.path.join(work, "existing.reg")
    text = EXISTING_REG.replace("{run}", software("Microsoft\\Windows\\CurrentVersion\\Run")).replace(
        "{shared}", software("OrvaneTestShared"))
    with open(script, "w", encoding="utf-16") as f:
        f.write(text.replace("\n", "\r\n"))
    run = wine("regedit", "/s", win(script), timeout=120)
    check(run.returncode == 0, f"regedit could not import the existing state: {run.stderr[-300:]!r}")
    for name, data in EXISTING_FILES.items():
        path = os.path.join(common_files(), name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    with open(ini_path(), "wb") as f:
        f.write(EXISTING_INI)


def remove_existing_state():
    for key in ["HKCU\\Environment", "HKLM\\" + software("OrvaneTestShared")]:
        wine("reg", "delete", key, "/f", timeout=60)
    wine("reg", "delete", "HKLM\\" + software("Microsoft\\Windows\\CurrentVersion\\Run"), "/v", "OrvaneShared",
         "/f", timeout=60)
    shutil.rmtree(os.path.join(common_files(), "OrvaneShared"), ignore_errors=True)
    if os.path.exists(ini_path()):
        os.remove(ini_path())


def value_report(report, suffix):
    return [v for v in report["registry"] if v["path"].lower().endswith(suffix.lower())]


def check_installer_report(report):
    """The installer's changes to what existed, as the report gives them."""
    shared = "\\OrvaneTestShared\\"
    for name in ["Text", "Expand", "List", "Blob", "Number", "Marker", "Wide"]:
        found = value_report(report, shared + name)
        check(len(found) == 1 and found[0].get("change") == "changed" and found[0].get("before"),
              f"installer: {name} is not reported as changed with its old data: {found}")
    obsolete = value_report(report, shared + "Obsolete")
    check(len(obsolete) == 1 and obsolete[0].get("change") == "deleted",
          f"installer: Obsolete is not reported as deleted: {obsolete}")
    path = value_report(report, "\\Environment\\Path")
    check(len(path) == 1 and path[0].get("change") == "changed", f"installer: Path is not changed: {path}")
    changed = {ntpath.basename(f["path"]).lower() for f in report.get("filesChanged", [])}
    removed = {ntpath.basename(f["path"]).lower() for f in report.get("filesRemoved", [])}
    check({"shared.dll", "current.cfg", "orvane-shared.ini"} <= changed,
          f"installer: files changed are {sorted(changed)}")
    check("obsolete.txt" in removed, f"installer: files removed are {sorted(removed)}")
    added = {ntpath.basename(p).lower() for p in report["files"]}
    check(not ({"shared.dll", "current.cfg", "orvane-shared.ini"} & added),
          f"installer: a changed file is reported as added: {sorted(added)}")


def installer_setup():
    return [win(os.path.join(bin_dir, "orvane-test-installer.exe")), "/S", "/EXISTING"]


def package_setups():
    """The test package of the tracker's bitness: a tracker watches its own program-files folder, so
    a 64-bit one does not see what a 32-bit package puts below "Program Files (x86)"."""
    bits = "32" if lane != "win64" else "64"
    names = [n for n in os.listdir(bin_dir) if n == f"orvane-test-package{bits}.msi"]
    return [(n[:-4], ["msiexec", "/i", win(os.path.join(bin_dir, n)), "/qn"]) for n in names]


def round_trip(name, setup, prepare=None, cleanup=None, check_report=None):
    print(f"=== {name}: {' '.join(setup)}")
    if prepare:
        prepare()
    before = dump(name + "-before")
    report_path = os.path.join(work, name + ".json")
    script = os.path.join(work, name + "-undo.cmd")
    tracked = wine(win(os.path.join(bin_dir, "orvane-track.exe")), "--json", win(report_path),
                   "--uninstall-script", win(script), "--", *setup)
    print(tracked.stdout.decode("utf-8", "replace"))
    print(tracked.stderr.decode("utf-8", "replace")[-2000:])
    check(tracked.returncode == 0, f"{name}: orvane-track exit {tracked.returncode}")
    if not os.path.exists(script):
        check(False, f"{name}: no undo script was written")
        return (0, 0)
    if check_report and os.path.exists(report_path):
        with open(report_path, encoding="utf-8") as f:
            check_report(json.load(f))
    undone = wine("cmd", "/c", win(script))
    print(undone.stdout.decode("utf-8", "replace")[-6000:])
    after = dump(name + "-after")
    lost, left = differences(before, after)
    print(f"{name}: {len(lost)} differences lost or changed by the round trip, {len(left)} left behind")
    for entry in lost:
        print("  lost or changed: " + entry)
    for entry in left:
        print("  left behind: " + entry)
    check(not lost and not left, f"{name}: the machine after the undo differs from before")
    if cleanup:
        cleanup()
    return len(lost), len(left)


def main():
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    figures = {}
    try:
        if "installer" in chosen:
            figures["installer"] = round_trip("installer", installer_setup(), prepare_existing_state,
                                              remove_existing_state, check_installer_report)
        if "packages" in chosen:
            for name, setup in package_setups():
                figures[name] = round_trip(name, setup)
        if "sample" in chosen:
            figures["sample"] = round_trip("sample", [win(os.path.join(bin_dir, "orvane-sample-setup.exe"))])
    finally:
        remove_existing_state()
    for name, (lost, left) in figures.items():
        print(f"undo round trip ({lane}): {name}: {lost} lost or changed, {left} left behind")
    print("undo round trip: " + ("passed" if not failures else f"{len(failures)} failures"))
    return 1 if failures else 0


sys.exit(main())
