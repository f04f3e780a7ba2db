"""Reads the headers, import table and export names of a PE image (EXE, DLL or driver), for the
checks that hold the project's images to what an older Windows exports."""
import struct

# Data directories the checks look at.
EXPORT_DIRECTORY = 0
IMPORT_DIRECTORY = 1
DELAY_IMPORT_DIRECTORY = 13

MACHINE_I386 = 0x14C
MACHINE_AMD64 = 0x8664


class PeError(ValueError):
    """The file is not a PE image, or one whose tables cannot be read."""


class PeFile:
    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            self.data = f.read()
        try:
            self._read_headers()
        except (struct.error, IndexError) as error:
            raise PeError(f"{path}: truncated or damaged PE headers ({error})") from None

    def _read_headers(self):
        if self.data[:2] != b"MZ":
            raise PeError(f"{self.path}: not a PE file")
        pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        if self.data[pe:pe + 4] != b"PE\0\0":
            raise PeError(f"{self.path}: no PE signature")
        self.machine, sections, _, _, _, optional_size, self.characteristics = struct.unpack_from(
            "<HHIIIHH", self.data, pe + 4)
        optional = pe + 24
        magic = struct.unpack_from("<H", self.data, optional)[0]
        if magic not in (0x10B, 0x20B):
            raise PeError(f"{self.path}: unknown optional header magic {magic:#x}")
        self.wide = magic == 0x20B
        count = struct.unpack_from("<I", self.data, optional + (108 if self.wide else 92))[0]
        directories = optional + (112 if self.wide else 96)
        self.directories = [struct.unpack_from("<II", self.data, directories + 8 * i) if i < count else (0, 0)
                            for i in range(16)]
        table = optional + optional_size
        self.sections = []
        for i in range(sections):
            _, virtual_size, address, raw_size, raw_offset = struct.unpack_from("<8sIIII", self.data, table + 40 * i)
            self.sections.append((address, max(virtual_size, raw_size), raw_offset))

    def is_dll(self):
        return bool(self.characteristics & 0x2000)

    def offset(self, rva):
        for address, size, raw in self.sections:
            if address <= rva < address + size:
                return rva - address + raw
        raise PeError(f"{self.path}: RVA {rva:#x} lies in no section")

    def string(self, rva):
        start = self.offset(rva)
        end = self.data.find(b"\0", start)
        if end < 0:
            raise PeError(f"{self.path}: unterminated name at RVA {rva:#x}")
        return self.data[start:end].decode("ascii", "replace")

    def has_directory(self, index):
        return self.directories[index][1] != 0

    def imports(self):
        """(module, routine) pairs; a routine imported by ordinal shows as '#<n>'."""
        try:
            return self._imports()
        except (struct.error, IndexError) as error:
            raise PeError(f"{self.path}: damaged import table ({error})") from None

    def _imports(self):
        rva, size = self.directories[IMPORT_DIRECTORY]
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
        rva, size = self.directories[EXPORT_DIRECTORY]
        if not size:
            return set()
        at = self.offset(rva)
        count, names = struct.unpack_from("<II", self.data, at + 24)[0], struct.unpack_from("<I", self.data, at + 32)[0]
        return {self.string(struct.unpack_from("<I", self.data, self.offset(names) + 4 * i)[0]) for i in range(count)}
