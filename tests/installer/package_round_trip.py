#!/usr/bin/env python3
"""The repackaging round trip, driven from the Linux side because it needs two prefixes and wixl.

In the test run's prefix: orvane-track --package tracks the NSIS test installer and the sample
setup. wixl (through the kit's build-msi.sh) builds each kit's MSI. In a fresh prefix: orvane-track
tracks `msiexec /i KIT.msi /qn`, which must add the same files with the same bytes; regedit /e
must show each setup's values with the same types and data as in the first prefix (the values the
tracker captured from the installer's own writes: its key in HKLM and in HKCU, its Uninstall entry;
and the sample's), and the capture in msiexec must report those same values. REG_QWORD and REG_NONE
are the exceptions: Windows Installer writes no such types, and the kit says so.

    package_round_trip.py BIN_DIR WINE_SCRIPTS_DIR WORK_DIR
Environment: ORVANE_WINEPREFIX, ORVANE_WINE_LANE (set by CTest).
"""
import json
import os
import shutil
import subprocess
import sys

bin_dir, wine_scripts, work = sys.argv[1:4]
lane = os.environ.get("ORVANE_WINE_LANE", "win64")
# The lane's loader, which runs 32-bit programs natively or emulated as the machine does.
loader = subprocess.run(["sh", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine", "loader.sh")],
                        env=dict(os.environ, ORVANE_WINE_LANE=lane), capture_output=True, text=True,
                        check=True).stdout.strip()
shared = os.environ["ORVANE_WINEPREFIX"]
fresh = os.path.join(work, "fresh-prefix")
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL: " + message)


def win(path):
    return "Z:" + path.replace("/", "\\")


def wine(prefix, *args, timeout=240):
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
    return subprocess.run([loader] + list(args), env=env, timeout=timeout, capture_output=True)


def unix(prefix, windows_path):
    drive, rest = windows_path[0].lower(), windows_path[3:]
    path = os.path.join(prefix, "drive_" + drive)
    for part in rest.split("\\"):
        names = {n.lower(): n for n in os.listdir(path)} if os.path.isdir(path) else {}
        path = os.path.join(path, names.get(part.lower(), part))
    return path


def track(prefix, name, setup, *options):
    report = os.path.join(work, name + ".json")
    run = wine(prefix, win(os.path.join(bin_dir, "orvane-track.exe")), "--json", win(report), *options,
               "--", *setup)
    print(run.stdout.decode("utf-8", "replace"))
    check(run.returncode == 0, f"{name}: orvane-track exit {run.returncode}: {run.stderr[-400:]!r}")
    with open(report, encoding="utf-8") as f:
        return json.load(f)


def exported(prefix, key, name):
    target = os.path.join(work, name + ".reg")
    wine(prefix, "regedit", "/e", win(target), key, timeout=60)
    if not os.path.exists(target):
        return []
    with open(target, encoding="utf-16") as f:
        text = f.read().replace("\\\n  ", "")
    return [line for line in text.splitlines()[1:] if line.strip()]


# Types a package cannot hold: Windows Installer's registry table has no REG_QWORD or REG_NONE.
UNPACKAGEABLE = ("=hex(b):", "=hex(0):")


def packaged(values):
    """Values as (path, type, data), without the types a package cannot hold."""
    return {(v["path"].lower(), v["typeCode"], v["data"]) for v in values if v["typeCode"] not in (0, 11)}


def compare_values(name, keys, report, reinstalled):
    """Each key's values as regedit exports them, in the tracked prefix and in the fresh one. The
    report must have captured every value the setup left there, and the MSI must have put back
    each with its type and data, but for the types a package cannot hold; what the capture saw
    msiexec write must be the same values."""
    kit = open(os.path.join(work, "kit-" + name, "product.wxs"), encoding="utf-8").read()
    reported = {v["path"].lower() for v in report["registry"]}
    check(not reinstalled["registryCaptureIncomplete"],
          f"{name}: the capture missed processes of msiexec: {reinstalled['registryCaptureIncomplete']}")
    missing = packaged(report["registry"]) - packaged(reinstalled["registry"])
    extra = packaged(reinstalled["registry"]) - packaged(report["registry"])
    check(not missing and not extra,
          f"{name}: msiexec's captured values differ: missing {sorted(missing)}, extra {sorted(extra)}")
    for key in keys:
        short = key.replace("HKEY_LOCAL_MACHINE", "HKLM").replace("HKEY_CURRENT_USER", "HKCU")
        tag = name + "-" + short.replace("\\", "-")
        values_before = exported(shared, key, tag + "-before")
        values_after = exported(fresh, key, tag + "-after")
        print(f"{key} before:\n  " + "\n  ".join(values_before))
        print(f"{key} after:\n  " + "\n  ".join(values_after))
        names = [line.split('"=', 1)[0][1:] for line in values_before if line.startswith('"')]
        check(names, f"{key}: the setup left no values there to compare")
        for value in names:
            check(f"{short}\\{value}".lower() in reported, f"{short}\\{value}: not in the report")
        expected = [v for v in values_before if not any(mark in v for mark in UNPACKAGEABLE)]
        for line in values_before:
            if any(mark in line for mark in UNPACKAGEABLE):
                left_out = f"left out: {short}\\{line.split(chr(34))[1]} ("
                check(left_out in kit, f"{name}: the kit does not say it left out {line}")
        check(sorted(values_after) == sorted(expected), f"{key}: the values in the fresh prefix differ")


def standard(path):
    """A path relative to the standard folder it lies in. Wine's msiexec puts a per-machine
    package's DesktopFolder and StartMenuFolder files into the user's folders, not the common ones,
    so the desktop and Start menu are compared by the name below them."""
    lower = path.lower()
    for marker, token in (("\\desktop\\", "{desk}\\"), ("\\start menu\\", "{menu}\\")):
        at = lower.find(marker)
        if lower.startswith("c:\\users\\") or "\\microsoft\\windows\\start menu" in lower:
            if at >= 0:
                return token + path[at + len(marker):]
    return path


def round_trip(name, setup):
    kit = os.path.join(work, "kit-" + name)
    report = track(shared, name, setup, "--package", win(kit))
    before = report["files"]
    originals = {path: open(unix(shared, path), "rb").read() for path in before}
    build = subprocess.run(["sh", os.path.join(kit, "build-msi.sh")], capture_output=True, timeout=120)
    check(build.returncode == 0, f"{name}: build-msi.sh failed: {build.stderr[-400:]!r}")
    msi = win(os.path.join(kit, "product.msi"))
    reinstalled = track(fresh, name + "-fresh", ["msiexec", "/i", msi, "/qn"])
    after = reinstalled["files"]
    print(f"{name}: files before {sorted(before)}\n{name}: files after  {sorted(after)}")
    check(sorted(map(standard, after)) == sorted(map(standard, before)), f"{name}: the MSI added other files")
    placed = {standard(path): path for path in after}
    for path, data in originals.items():
        installed = unix(fresh, placed.get(standard(path), path))
        same = os.path.exists(installed) and open(installed, "rb").read() == data
        check(same, f"{name}: {path} differs or is missing in the fresh prefix")
    return report, reinstalled


shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
if shutil.which("wixl") is None or shutil.which("msibuild") is None:
    print("FAIL: wixl and msibuild are needed (Debian packages wixl and msitools)")
    sys.exit(1)
# The fresh prefix has the stand-in driver too, so that the capture in msiexec has a log to write to.
driver = os.path.join(bin_dir, os.pardir, "drivers", "REGSYS.SYS")
setup = subprocess.run(["sh", os.path.join(wine_scripts, "prefix-up.sh"), fresh, driver], capture_output=True,
                       timeout=180, env=dict(os.environ, ORVANE_WINE_LANE=lane))
check(setup.returncode == 0, "the fresh prefix could not be made")
INSTALLER_KEYS = ["HKEY_LOCAL_MACHINE\\Software\\OrvaneTestProduct",
                  "HKEY_CURRENT_USER\\Software\\OrvaneTestProduct",
                  "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\OrvaneTestProduct"]
try:
    installer = os.path.join(bin_dir, "orvane-test-installer.exe")
    report, reinstalled = round_trip("installer", [win(installer), "/S"])
    compare_values("installer", INSTALLER_KEYS, report, reinstalled)
    # Put the shared prefix back as it was for the tests that follow.
    installed = report["files"]
    for path in installed:
        os.remove(unix(shared, path))
    for path in installed:
        folder = os.path.dirname(unix(shared, path))
        if os.path.basename(folder) == "docs":
            folder = os.path.dirname(folder)
        if os.path.basename(folder) == "Orvane Test Product":
            shutil.rmtree(folder, ignore_errors=True)
    for key in INSTALLER_KEYS:
        wine(shared, "reg", "delete", key, "/f", timeout=60)
    sample = os.path.join(bin_dir, "orvane-sample-setup.exe")
    report, reinstalled = round_trip("sample", [win(sample)])
    compare_values("sample", ["HKEY_LOCAL_MACHINE\\Software\\OrvaneSample",
                              "HKEY_CURRENT_USER\\Software\\OrvaneSample"], report, reinstalled)
finally:
    wine(shared, win(os.path.join(bin_dir, "orvane-sample-setup.exe")), "--uninstall", timeout=60)
    subprocess.run(["sh", os.path.join(wine_scripts, "prefix-down.sh"), fresh], timeout=60)
print("package round trip: " + ("passed" if not failures else f"{len(failures)} failures"))
sys.exit(1 if failures else 0)
