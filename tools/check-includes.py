#!/usr/bin/env python3
"""Checks every #include of the tracked C and C++ sources against the layers of the tree.

A quoted include names a project header from the repository root ("watcher/DirectoryChanges.h"),
and the folder that includes it must be allowed to depend on the folder (or the one header) it
names. The public headers in include/ are the exception: they are installed side by side for
hosts, so they include each other by bare name, as a host's build finds them. <windows.h> is reached only through common/Win32.h, except by the stand-ins, which stand
for outside libraries and so build on the SDK alone. Prints one line per breach and exits 1;
with --fix, first rewrites includes that are not written from the root but resolve to one header.
"""
import argparse
import os
import re
import subprocess
import sys

# Who may include whom. Keys and entries are path prefixes: a folder ends in "/", anything else is
# one file. The longest key that prefixes a source's path applies to it. Tests and benchmarks may
# reach into any product folder (they drive the internals on purpose) but not into other tests.
PRODUCT = ["include/", "common/", "boundary/", "recorder/", "watcher/", "registry/", "driver/",
           "capture/", "stand-ins/", "host/"]
ALLOWED = {
    "include/": ["include/"],
    "common/": ["common/"],
    "boundary/": ["boundary/", "include/", "common/", "recorder/", "registry/",
                  "watcher/DirectoryChanges.h"],
    "recorder/": ["recorder/", "include/", "common/", "watcher/", "registry/",
                  "stand-ins/tavish/ITavishInc.h"],
    "watcher/": ["watcher/", "common/"],
    "registry/": ["registry/", "include/", "common/", "driver/RegmonProtocol.h",
                  "stand-ins/brannock/IMendwellInc.h", "stand-ins/tavish/ITavishInc.h"],
    "driver/": ["driver/"],
    "capture/": ["capture/", "common/", "driver/"],
    "stand-ins/brannock/": ["stand-ins/brannock/"],
    "stand-ins/kelmira/": ["stand-ins/kelmira/"],
    "stand-ins/tavish/": ["stand-ins/tavish/"],
    # A stand-alone probe of the emulated 32-bit Wine: Win32 and the C library alone.
    "scripts/w32-emulation/": [],
    # The tracker loads the capture into the setup and relays its lines to the driver, and reads the
    # driver's writer lines in the framing of its log.
    "host/track/": ["host/track/", "include/", "common/", "capture/inject/CaptureInjection.h",
                    "capture/CaptureRing.h", "capture/OldState.h", "driver/RegmonProtocol.h",
                    "registry/LogFraming.h"],
    # What one run produced, and its names: no part of the tracker's running or its outputs. The
    # capture's records of old state are part of what a run produced.
    "host/track/result/": ["host/track/result/", "common/", "capture/OldState.h"],
    # Each output is made from the result alone (and the lines that name a capture gap).
    "host/track/output/": ["host/track/output/", "host/track/result/", "common/",
                           "host/track/run/CaptureMessages.h"],
    # The undo works from its plan alone, on the registry and the file system.
    "host/track/undo/": ["host/track/undo/", "host/track/result/", "common/"],
    "host/sample-setup/": ["host/sample-setup/", "common/", "driver/RegmonProtocol.h"],
    "host/": ["host/", "include/", "common/"],
    "bench/": PRODUCT + ["bench/", "tests/support/", "tests/registry/RegistryMonitorTestPeer.h"],
    "tests/": PRODUCT + ["tests/support/"],
    # The capture's tests read what it logs through the registry tests' handle on the driver.
    "tests/capture/": PRODUCT + ["tests/support/", "tests/registry/RegistryTestSupport.h"],
    # The installer tests run the tracker on a real installer: they are host tests with its kit.
    "tests/installer/": PRODUCT + ["tests/support/", "tests/host/"],
}
# A test folder may also use the helpers of its own first-level folder (tests/watcher/Watchdog.h).
SAME_TEST_FOLDER = re.compile(r"^(tests/[^/]+/)")
INSTALLED_FLAT = "include/"
WINDOWS_HEADER_USERS = ["common/Win32.h", "stand-ins/", "scripts/w32-emulation/"]
SOURCE_SUFFIXES = (".c", ".cpp", ".h")
INCLUDE = re.compile(r'^(\s*#\s*include\s*)([<"])([^>"]+)[>"]')


def tracked_sources(root):
    listed = subprocess.run(["git", "-C", root, "ls-files"], check=True, capture_output=True,
                            text=True).stdout.split()
    return sorted(p for p in listed if p.endswith(SOURCE_SUFFIXES))


def rule_for(path):
    keys = [k for k in ALLOWED if path.startswith(k)]
    return max(keys, key=len) if keys else None


def allowed_targets(path):
    key = rule_for(path)
    if key is None:
        return None
    targets = list(ALLOWED[key])
    own_test_folder = SAME_TEST_FOLDER.match(path)
    if own_test_folder:
        targets.append(own_test_folder.group(1))
    return targets


def resolve(root, source, name, known):
    """The root-relative header a quoted include reaches, or None when it reaches none."""
    if name in known:
        return name
    beside = os.path.normpath(os.path.join(os.path.dirname(source), name)).replace(os.sep, "/")
    if beside in known:
        return beside
    elsewhere = [k for k in known if k.endswith("/" + name)]
    return elsewhere[0] if len(elsewhere) == 1 else None


def check_line(root, source, line, known):
    match = INCLUDE.match(line)
    if not match:
        return None, None
    _, bracket, name = match.groups()
    if bracket == "<":
        if name.lower() == "windows.h" and not any(
                source.startswith(user) for user in WINDOWS_HEADER_USERS):
            return "includes <windows.h> directly; include common/Win32.h", None
        return None, None
    target = resolve(root, source, name, known)
    if target is None:
        return f'includes "{name}", which is no tracked header', None
    problems = []
    installed_flat = source.startswith(INSTALLED_FLAT)
    if installed_flat and target != INSTALLED_FLAT + name:
        problems.append(f'includes "{name}"; an installed header names its sibling alone')
    elif not installed_flat and target != name:
        problems.append(f'includes "{name}"; write it from the root as "{target}"')
    targets = allowed_targets(source)
    if targets is not None and not any(target.startswith(t) for t in targets):
        problems.append(f'{rule_for(source)} may not include "{target}"')
    return ("; ".join(problems) if problems else None), target


def check_file(root, source, known, fix):
    full = os.path.join(root, source)
    with open(full, encoding="utf-8", errors="surrogateescape") as f:
        lines = f.readlines()
    breaches, changed = [], False
    for number, line in enumerate(lines, 1):
        problem, target = check_line(root, source, line, known)
        if fix and target and problem and "write it from the root" in problem:
            prefix = INCLUDE.match(line).group(1)
            lines[number - 1] = INCLUDE.sub(f'{prefix}"{target}"', line, count=1)
            changed = True
            problem, _ = check_line(root, source, lines[number - 1], known)
        if problem:
            breaches.append(f"{source}:{number}: {problem}")
    if changed:
        with open(full, "w", encoding="utf-8", errors="surrogateescape") as f:
            f.writelines(lines)
    return breaches


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("root", nargs="?", default=os.path.join(os.path.dirname(__file__), ".."))
    parser.add_argument("--fix", action="store_true",
                        help="rewrite includes that resolve to one header in the root-relative form")
    args = parser.parse_args()
    root = os.path.abspath(args.root)
    sources = tracked_sources(root)
    if not sources:
        print(f"check-includes: no sources found under {root}")
        return 1
    known = set(sources)
    unruled = [s for s in sources if rule_for(s) is None]
    breaches = [f"{s}: no layer rule covers this folder" for s in unruled]
    for source in sources:
        breaches += check_file(root, source, known, args.fix)
    for breach in breaches:
        print(breach)
    if breaches:
        print(f"check-includes: {len(breaches)} breaches in {len(sources)} files")
        return 1
    print(f"check-includes: {len(sources)} files keep to the layers")
    return 0


if __name__ == "__main__":
    sys.exit(main())
