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
import struct
import sys

KERNEL_MODULES = ("ntoskrnl.exe", "hal.dll")


class PeFile:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        if self.data[:2] != b"MZ":
            raise ValueError(f"{path}: not a PE file")
        pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        if self.data[pe:pe + 4] != b"PE\0\0":
            raise ValueError(f"{path}: no PE signature")
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", self.data, pe + 4)
        optional = pe + 24
        magic = struct.unpack_from("<H", self.data, optional)[0]
        self.wide = magic == 0x20B
        directories = optional + (112 if self.wide else 96)
        self.directories = [struct.unpack_from("<II", self.data, directories + 8 * i) for i in range(2)]
        table = optional + optional_size
        self.sections = []
        for i in range(sections):
            _, virtual_size, address, raw_size, raw_offset = struct.unpack_from("<8sIIII", self.data, table + 40 * i)
            self.sections.append((address, max(virtual_size, raw_size), raw_offset))

    def offset(self, rva):
        for address, size, raw in self.sections:
            if address <= rva < address + size:
                return rva - address + raw
        raise ValueError(f"RVA {rva:#x} lies in no section")

    def string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        """(module, routine) pairs; a routine imported by ordinal shows as '#<n>'."""
        rva, size = self.directories[1]
        found = []
        at = self.offset(rva) if size else None
        while at is not None:
            lookup, _, _, name, first = struct.unpack_from("<IIIII", self.data, at)
            if name == 0:
                break
            module = self.string(name)
            thunk = self.offset(lookup or first)
            width, flag = (8, 1 << 63) if self.wide else (4, 1 << 31)
            while True:
                entry = struct.unpack_from("<Q" if self.wide else "<I", self.data, thunk)[0]
                if entry == 0:
                    break
                found.append((module, f"#{entry & 0xFFFF}" if entry & flag else self.string((entry & 0x7FFFFFFF) + 2)))
                thunk += width
            at += 20
        return found

    def exports(self):
        rva, size = self.directories[0]
        if not size:
            return set()
        at = self.offset(rva)
        count, names = struct.unpack_from("<II", self.data, at + 24)[0], struct.unpack_from("<I", self.data, at + 32)[0]
        return {self.string(struct.unpack_from("<I", self.data, self.offset(names) + 4 * i)[0]) for i in range(count)}


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
