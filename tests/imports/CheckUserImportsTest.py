#!/usr/bin/env python3
"""Drives check-user-imports.py over an image that imports GetTickCount64, copies of it damaged on
purpose (an import by ordinal, a DLL the list lacks, a file cut short), a file that is no image, and
the list itself.

usage: CheckUserImportsTest.py NEWER_IMPORT_FIXTURE ORVANE_DLL KELMIRA_DLL
"""
import os
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKER = os.path.join(HERE, "check-user-imports.py")
LIST = os.path.join(HERE, "xp-2003-exports.txt")
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from pe_file import IMPORT_DIRECTORY, PeFile  # noqa: E402

FIXTURE, ORVANE, KELMIRA = (None, None, None)


def run(*args):
    done = subprocess.run([sys.executable, CHECKER, *args], capture_output=True, text=True, timeout=60)
    return done.returncode, done.stdout + done.stderr


def kernel32_descriptor(image):
    """File offset of the import descriptor of kernel32.dll."""
    at = image.offset(image.directories[IMPORT_DIRECTORY][0])
    while True:
        name = struct.unpack_from("<I", image.data, at + 12)[0]
        if name == 0:
            raise AssertionError("the fixture imports nothing from kernel32.dll")
        if image.string(name).lower() == "kernel32.dll":
            return at
        at += 20


class CheckUserImports(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.image = PeFile(FIXTURE)

    def tearDown(self):
        self.folder.cleanup()

    def write(self, name, data):
        path = os.path.join(self.folder.name, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_a_newer_import_is_named_with_its_image_and_dll(self):
        code, output = run(FIXTURE)
        self.assertEqual(code, 1, output)
        self.assertIn(f"{os.path.basename(FIXTURE)}: KERNEL32.dll!GetTickCount64: not exported".lower(),
                      output.lower())

    def test_the_same_image_passes_against_a_list_that_has_every_import(self):
        listed = {}
        for module, routine in self.image.imports():
            listed.setdefault(module.lower(), []).append(routine)
        text = "".join(f"[{m}]\n" + "".join(f"{r}\n" for r in routines) for m, routines in listed.items())
        code, output = run("--exports", self.write("all.txt", text.encode()), FIXTURE)
        self.assertEqual(code, 0, output)

    def test_an_import_by_ordinal_fails(self):
        data = bytearray(self.image.data)
        descriptor = kernel32_descriptor(self.image)
        lookup = self.image.offset(struct.unpack_from("<I", data, descriptor)[0])
        struct.pack_into("<I", data, lookup, 0x80000007)
        code, output = run(self.write("ordinal.exe", bytes(data)))
        self.assertEqual(code, 1, output)
        self.assertIn("!#7: imported by ordinal", output)

    def test_a_dll_missing_from_the_list_fails(self):
        data = bytearray(self.image.data)
        name = self.image.offset(struct.unpack_from("<I", data, kernel32_descriptor(self.image) + 12)[0])
        data[name:name + 8] = b"KERNELXX"
        code, output = run(self.write("unknown.exe", bytes(data)))
        self.assertEqual(code, 1, output)
        self.assertIn("KERNELXX.dll is not in the list", output)

    def test_a_project_dll_counts_only_when_its_image_is_checked_too(self):
        code, output = run(ORVANE)
        self.assertEqual(code, 1, output)
        self.assertIn("Kelmira.dll is not in the list", output)
        code, output = run(ORVANE, KELMIRA)
        self.assertNotIn("Kelmira.dll is not in the list", output)

    def test_a_file_that_is_no_image_gives_one_clean_line(self):
        for name, data in (("text.exe", b"just text\n"), ("empty.dll", b""),
                           ("cut.exe", self.image.data[:0x100])):
            code, output = run(self.write(name, data))
            self.assertEqual(code, 2, output)
            self.assertNotIn("Traceback", output)
            self.assertIn(name, output)

    def test_a_missing_file_gives_one_clean_line(self):
        code, output = run(os.path.join(self.folder.name, "absent.dll"))
        self.assertEqual(code, 2, output)
        self.assertNotIn("Traceback", output)


class ExportList(unittest.TestCase):
    def test_routines_newer_than_xp_are_not_listed(self):
        with open(LIST) as f:
            names = {line.split("#")[0].strip() for line in f}
        for newer in ("GetTickCount64", "CancelIoEx", "CompareStringOrdinal", "SHGetKnownFolderPath",
                      "AcquireSRWLockExclusive", "QueryFullProcessImageNameW", "RegDeleteTreeA", "FlsAlloc",
                      "InitializeConditionVariable", "Wow64DisableWow64FsRedirection", "strcpy_s", "_fseeki64"):
            self.assertNotIn(newer, names)
        for older in ("GetTickCount", "CancelIo", "LCMapStringW", "SHGetFolderPathW", "SHDeleteKeyA", "malloc"):
            self.assertIn(older, names)


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    FIXTURE, ORVANE, KELMIRA = sys.argv[1:4]
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:])
