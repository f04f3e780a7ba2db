"""What orvane-track must report for the setups the reactos lane tracks in its guest: the files and
registry values each leaves, written out from the setups' own sources (host/sample-setup and
tests/installer/OrvaneTestInstaller.nsi), with the guest's shell folders filled in. The registry
data is as the library reads it back: strings in the ANSI code page with their NUL."""
import base64
import struct


def sz(text):
    return text.encode("latin-1") + b"\0"


def multi(*texts):
    return b"".join(sz(text) for text in texts) + b"\0"


def dword(number):
    return struct.pack("<I", number)


REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD = 0, 1, 2, 3, 4, 7, 11


def sample(folders):
    app = folders["ProgramFiles"] + "\\Orvane Sample"
    machine, user = "HKLM\\Software\\OrvaneSample\\", "HKCU\\Software\\OrvaneSample\\"
    files = [app + "\\license.txt", app + "\\settings.ini", app + "\\readme.txt", app + "\\data\\catalog.dat",
             app + "\\data\\templates.dat", folders["CommonDesktop"] + "\\Orvane Sample.url"]
    values = {
        machine + "InstallDir": (REG_SZ, sz(app)),
        machine + "Version": (REG_SZ, sz("1.0.0")),
        machine + "Build": (REG_DWORD, dword(1042)),
        machine + "DataSize": (REG_QWORD, struct.pack("<Q", 5368709120)),
        machine + "LogFile": (REG_EXPAND_SZ, sz("%TEMP%\\orvane-sample.log")),
        machine + "Features": (REG_MULTI_SZ, multi("core", "help", "samples")),
        machine + "Signature": (REG_BINARY, bytes.fromhex("4f52565301 00ff10".replace(" ", ""))),
        user + "Language": (REG_SZ, sz("en-GB")),
        user + "ShowTips": (REG_DWORD, dword(1)),
        user + "WindowPlacement": (REG_BINARY, bytes.fromhex("0a00140080 02e001".replace(" ", ""))),
    }
    return {"files": files, "eliminatedFiles": [app + "\\desktop.ini"], "values": values,
            "transient": ["HKLM\\Software\\OrvaneSample\\Pending\\"],
            "keysCreated": [machine[:-1], user[:-1]]}


def nsis(folders):
    app = folders["ProgramFiles"] + "\\Orvane Test Product"
    machine, user = "HKLM\\Software\\OrvaneTestProduct\\", "HKCU\\Software\\OrvaneTestProduct\\"
    uninstall = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\OrvaneTestProduct\\"
    files = [app + "\\readme.txt", app + "\\docs\\guide.txt", app + "\\uninstall.exe",
             folders["CommonDesktop"] + "\\Orvane Test Product.lnk",
             folders["CommonStartMenu"] + "\\Orvane Test Product.lnk",
             folders["CommonPrograms"] + "\\Orvane Test Product Guide.lnk",
             folders["System"] + "\\orvane-test-product.dat"]
    values = {
        machine + "InstallDir": (REG_SZ, sz(app)),
        machine + "Version": (REG_SZ, sz("1.0.0")),
        machine + "Build": (REG_DWORD, dword(2048)),
        machine + "LogFile": (REG_EXPAND_SZ, sz("%TEMP%\\orvane-test-product.log")),
        machine + "Signature": (REG_BINARY, bytes.fromhex("4f52565401ff0010")),
        machine + "Components": (REG_MULTI_SZ, multi("core", "docs")),
        machine + "Registered": (REG_NONE, b"\x01\x02"),
        user + "Language": (REG_SZ, sz("en-GB")),
        user + "ShowTips": (REG_DWORD, dword(1)),
        user + "WindowPlacement": (REG_BINARY, bytes.fromhex("0a0014008002e001")),
        user + "Workspace": (REG_EXPAND_SZ, sz("%USERPROFILE%\\Orvane Test Product")),
        user + "RecentFiles": (REG_MULTI_SZ, multi("readme.txt")),
        uninstall + "DisplayName": (REG_SZ, sz("Orvane Test Product")),
        uninstall + "DisplayVersion": (REG_SZ, sz("1.0.0")),
        uninstall + "Publisher": (REG_SZ, sz("Orvane")),
        uninstall + "InstallLocation": (REG_SZ, sz(app)),
        uninstall + "UninstallString": (REG_SZ, sz('"' + app + '\\uninstall.exe"')),
        uninstall + "QuietUninstallString": (REG_SZ, sz('"' + app + '\\uninstall.exe" /S')),
        uninstall + "NoModify": (REG_DWORD, dword(1)),
        uninstall + "NoRepair": (REG_DWORD, dword(1)),
    }
    return {"files": files, "eliminatedFiles": [], "values": values,
            "transient": [machine + "Pending\\", user + "Session\\", user + "Scratch"],
            "keysCreated": [machine[:-1], user[:-1], uninstall[:-1]]}


def probe(folders):
    del folders
    values = {"HKLM\\Software\\OrvaneProbe\\Written": (REG_DWORD, dword(1)),
              "HKCU\\Software\\OrvaneProbe\\Written": (REG_DWORD, dword(1))}
    return {"files": [], "eliminatedFiles": [], "values": values, "transient": []}


def service(folders):
    """A service made and disabled through the service manager: services.exe writes its key, on the
    family setup's behalf (tests/host/family-setup)."""
    del folders
    key = "HKLM\\SYSTEM\\ControlSet001\\Services\\OrvaneReactos\\"
    values = {key + "Type": (REG_DWORD, dword(16)),
              key + "Start": (REG_DWORD, dword(4)),
              key + "ErrorControl": (REG_DWORD, dword(1)),
              key + "ImagePath": (REG_EXPAND_SZ, sz("C:\\windows\\system32\\orvane-family-service.exe")),
              key + "DisplayName": (REG_SZ, sz("Orvane family OrvaneReactos")),
              key + "Description": (REG_SZ, sz("Orvane family service")),
              key + "ObjectName": (REG_SZ, sz("LocalSystem")),
              # The service's default security descriptor, which the service manager makes: its type alone.
              key + "Security\\Security": (REG_BINARY, None)}
    return {"files": [], "eliminatedFiles": [], "values": values, "transient": []}


def inf(folders):
    """An INF install through the system's rundll32 (tests/reactos/values.inf). The driver's callback
    names a process by its image alone, and the library leaves out rundll32.exe's lines; the capture
    in the setup's rundll32 has the driver name it by image and id, so that its value is reported."""
    del folders
    values = {"HKCU\\Software\\OrvaneReactosInf\\FromInf": (REG_SZ, sz("inf value"))}
    return {"files": [], "eliminatedFiles": [], "values": values, "transient": []}


def case(folders):
    """A key and value made in mixed case before the tracked run, which writes the value through the
    upper-cased names of both (tests/host/family-setup's case step): the value is reported as the
    registry keeps it."""
    del folders
    key = "HKCU\\Software\\OrvaneReactosCase"
    return {"files": [], "eliminatedFiles": [], "values": {key + "\\Mixed Value": (REG_SZ, sz("second"))},
            "transient": [], "spelt": ["OrvaneReactosCase\\Mixed Value"]}


def compare(report, expected):
    """(checks, figures): each check a (passed, text) pair; the figures say expected against reported."""
    checks = []
    fold = str.lower
    files = {fold(item): item for item in report.get("files", [])}
    want = {fold(item): item for item in expected["files"]}
    missing = sorted(want[key] for key in set(want) - set(files))
    extra = sorted(files[key] for key in set(files) - set(want))
    checks.append((not missing and not extra,
                   f"files exact: {len(want)} expected, {len(files)} reported"
                   + "".join(f"; missing {path}" for path in missing) + "".join(f"; extra {path}" for path in extra)))
    eliminated = sorted(fold(item["path"]) for item in report.get("eliminatedFiles", []))
    checks.append((eliminated == sorted(fold(path) for path in expected["eliminatedFiles"]),
                   f"files eliminated as noise: {[item['path'] for item in report.get('eliminatedFiles', [])]}"))
    reported = {fold(item["path"]): item for item in report.get("registry", [])}
    wanted = {fold(path): (path, kind, data) for path, (kind, data) in expected["values"].items()}
    problems = []
    for key, (path, kind, data) in sorted(wanted.items()):
        got = reported.get(key)
        if got is None:
            problems.append(f"missing {path}")
        elif int(got["typeCode"]) != kind or (data is not None and base64.b64decode(got["data"]) != data):
            problems.append(f"different {path}: type {got['typeCode']}, data {got['data']}")
    problems += [f"unexpected {reported[key]['path']}" for key in sorted(set(reported) - set(wanted))]
    checks.append((not problems, f"registry values exact: {len(wanted)} expected, {len(reported)} reported"
                   + "".join(f"; {problem}" for problem in problems)))
    # Whichever process wrote a value, the driver's callback included (services.exe for a service).
    unnamed = [item["path"] for item in report.get("registry", [])
               if not item.get("process") or not item.get("processId")]
    checks.append((not unnamed, "every value names its process and its id"
                   + "".join(f"; none for {path}" for path in unnamed)))
    for tail in expected.get("spelt", []):
        spelt = [item["path"] for item in report.get("registry", []) if fold(item["path"]).endswith(fold(tail))]
        checks.append((spelt and all(path.endswith(tail) for path in spelt),
                       f"value spelt as the registry keeps it ({tail}): {spelt}"))
    # The keys the setup made, spelt as the setup made them, whatever case the kernel hands them over in.
    if expected.get("keysCreated"):
        created = report.get("keysCreated", [])
        wrong = []
        for key in expected["keysCreated"]:
            same = [item for item in created if fold(item) == fold(key)]
            made = key.rsplit("\\", 1)[1]
            if not same:
                wrong.append(f"missing {key}")
            elif not same[0].endswith("\\" + made):
                wrong.append(f"{same[0]} not spelt {made}")
        checks.append((not wrong, f"keys created in their real case: {created}"
                       + "".join(f"; {problem}" for problem in wrong)))
    # What the setup wrote and removed again is no value of the product: at most it is listed among the
    # eliminated values, saying so.
    removed_again = ("written and deleted again", "its key was deleted later in the setup")
    below = [item["path"] for item in report.get("registry", [])
             if any(fold(item["path"]).startswith(fold(key)) for key in expected["transient"])]
    below += [f"{item['path']} ({item.get('reason')})" for item in report.get("eliminatedRegistry", [])
              if any(fold(item["path"]).startswith(fold(key)) for key in expected["transient"])
              and not item.get("reason", "").startswith(removed_again)]
    checks.append((not below, "nothing reported of what the setup removed again, but as eliminated"
                   + "".join(f"; {p}" for p in below)))
    gaps = [gap.get("message", "") for gap in report.get("registryCaptureIncomplete", [])]
    unrecorded = report.get("registryValuesNotRecorded", [])
    said = expected.get("gaps", [])
    if said:
        # One gap, saying each of the words expected.
        ok = len(gaps) == 1 and all(word in gaps[0] for word in said) and not unrecorded
        checks.append((ok, f"the capture gap expected ({', '.join(said)}) and no other"
                       + "".join(f"; {gap}" for gap in gaps)))
    else:
        checks.append((not gaps and not unrecorded, "no capture gap and no value left unrecorded"
                       + "".join(f"; {gap}" for gap in gaps) + "".join(f"; not recorded {v}" for v in unrecorded)))
    return checks
