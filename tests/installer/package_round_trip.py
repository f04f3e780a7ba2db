#!/usr/bin/env python3
"""The repackaging round trip, driven from the Linux side because it needs two prefixes and wixl.

In the test run's prefix: orvane-track --package tracks the NSIS test installer and the sample
setup. wixl (through the kit's build-msi.sh) builds each kit's MSI. In a fresh prefix: orvane-track
tracks `msiexec /i KIT.msi /qn`, which must add the same files with the same bytes, and regedit /e
must show the sample's values with the same types and data as in the first prefix (REG_QWORD
excepted: Windows Installer writes no such type, and the kit says so).

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
loader = "/usr/lib/wine/wine64" if lane == "win64" else "/usr/lib/wine/wine"
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
        return json.load(f)["files"]


def exported(prefix, key, name):
    target = os.path.join(work, name + ".reg")
    wine(prefix, "regedit", "/e", win(target), key, timeout=60)
    if not os.path.exists(target):
        return []
    with open(target, encoding="utf-16") as f:
        text = f.read().replace("\\\n  ", "")
    return [line for line in text.splitlines()[1:] if line.strip()]


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
    before = track(shared, name, setup, "--package", win(kit))
    originals = {path: open(unix(shared, path), "rb").read() for path in before}
    build = subprocess.run(["sh", os.path.join(kit, "build-msi.sh")], capture_output=True, timeout=120)
    check(build.returncode == 0, f"{name}: build-msi.sh failed: {build.stderr[-400:]!r}")
    after = track(fresh, name + "-fresh", ["msiexec", "/i", win(os.path.join(kit, "product.msi")), "/qn"])
    print(f"{name}: files before {sorted(before)}\n{name}: files after  {sorted(after)}")
    check(sorted(map(standard, after)) == sorted(map(standard, before)), f"{name}: the MSI added other files")
    placed = {standard(path): path for path in after}
    for path, data in originals.items():
        installed = unix(fresh, placed.get(standard(path), path))
        same = os.path.exists(installed) and open(installed, "rb").read() == data
        check(same, f"{name}: {path} differs or is missing in the fresh prefix")
    return before


shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
if shutil.which("wixl") is None or shutil.which("msibuild") is None:
    print("FAIL: wixl and msibuild are needed (Debian packages wixl and msitools)")
    sys.exit(1)
setup = subprocess.run(["sh", os.path.join(wine_scripts, "prefix-up.sh"), fresh], capture_output=True,
                       timeout=180, env=dict(os.environ, ORVANE_WINE_LANE=lane))
check(setup.returncode == 0, "the fresh prefix could not be made")
try:
    installer = os.path.join(bin_dir, "orvane-test-installer.exe")
    installed = round_trip("installer", [win(installer), "/S"])
    # Put the shared prefix back as it was for the tests that follow.
    for path in installed:
        os.remove(unix(shared, path))
    for path in installed:
        folder = os.path.dirname(unix(shared, path))
        if os.path.basename(folder) == "docs":
            folder = os.path.dirname(folder)
        if os.path.basename(folder) == "Orvane Test Product":
            shutil.rmtree(folder, ignore_errors=True)
    sample = os.path.join(bin_dir, "orvane-sample-setup.exe")
    round_trip("sample", [win(sample)])
    for root, short in (("HKEY_LOCAL_MACHINE", "hklm"), ("HKEY_CURRENT_USER", "hkcu")):
        key = root + "\\Software\\OrvaneSample"
        values_before = exported(shared, key, "sample-before-" + short)
        values_after = exported(fresh, key, "sample-after-" + short)
        print(f"{key} before:\n  " + "\n  ".join(values_before))
        print(f"{key} after:\n  " + "\n  ".join(values_after))
        expected = [v for v in values_before if not v.startswith('"DataSize"=hex(b)')]
        check(values_after == expected, f"{key}: the values in the fresh prefix differ")
finally:
    wine(shared, win(os.path.join(bin_dir, "orvane-sample-setup.exe")), "--uninstall", timeout=60)
    subprocess.run(["sh", os.path.join(wine_scripts, "prefix-down.sh"), fresh], timeout=60)
print("package round trip: " + ("passed" if not failures else f"{len(failures)} failures"))
sys.exit(1 if failures else 0)
