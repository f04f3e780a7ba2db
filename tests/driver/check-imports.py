#!/usr/bin/env python3
"""Fails when REGSYS.SYS imports a kernel routine that Windows XP or Wine does not export.

A kernel refuses to load a driver with an import it lacks, and Wine's device host dies on one it
stubs: every routine newer than XP must be found at run time instead. Wine's exports are read from
its own ntoskrnl.exe and hal.dll of the driver's architecture; XP's are the committed list
xp-kernel-exports.txt beside this script (routines XP's ntoskrnl.exe and hal.dll export; the x64
driver, which XP x64 and 2003 load, is held to the same list).

usage: check-imports.py DRIVER [WINE_DLL_FOLDER]
"""
import glob
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from pe_file import PeFile  # noqa: E402

KERNEL_MODULES = ("ntoskrnl.exe", "hal.dll")


def wine_folder(machine):
    arch = {0x14C: "i386", 0x8664: "x86_64"}.get(machine)
    if arch is None:
        sys.exit(f"check-imports: unknown machine {machine:#x}")
    for folder in sorted(glob.glob(f"/usr/lib/*/wine/{arch}-windows")) + [f"/usr/lib/wine/{arch}-windows"]:
        if os.path.exists(os.path.join(folder, "ntoskrnl.exe")):
            return folder
    sys.exit(f"check-imports: no Wine ntoskrnl.exe for {arch} under /usr/lib")


def xp_exports():
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "xp-kernel-exports.txt")
    with open(path) as f:
        return {line.split("#")[0].strip() for line in f} - {""}


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    driver = PeFile(sys.argv[1])
    folder = sys.argv[2] if len(sys.argv) == 3 else wine_folder(driver.machine)
    wine = {module: PeFile(os.path.join(folder, module)).exports() for module in KERNEL_MODULES}
    xp = xp_exports()
    imports = driver.imports()
    problems = []
    for module, routine in imports:
        lower = module.lower()
        if lower not in KERNEL_MODULES:
            problems.append(f"{module}!{routine}: not a kernel module")
            continue
        if routine not in wine[lower]:
            problems.append(f"{module}!{routine}: Wine's {lower} does not export it")
        if routine not in xp:
            problems.append(f"{module}!{routine}: not known to be exported by Windows XP")
    for problem in problems:
        print(f"check-imports: {sys.argv[1]}: {problem}")
    print(f"check-imports: {len(imports)} imports of {os.path.basename(sys.argv[1])}, {len(problems)} problems "
          f"(Wine's from {folder})")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
