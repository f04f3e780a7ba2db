#!/usr/bin/env python3
"""Fails when an i686 image imports a routine that Windows XP SP3 or Windows Server 2003 lacks.

The loader refuses an image with an import it cannot snap, so a routine newer than those systems
must be looked up at run time instead. Each import of each image must be a name that the committed
list xp-2003-exports.txt beside this script gives for its DLL, or an export of another image named
on the command line (the project's own DLLs). An import by ordinal, from a DLL the list does not
have, or in a delay-load table is refused too: none of them can be held to the list.

usage: check-user-imports.py [--exports FILE] IMAGE...
"""
import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from pe_file import DELAY_IMPORT_DIRECTORY, MACHINE_I386, PeError, PeFile  # noqa: E402

TOOL = "check-user-imports"


def read_exports(path):
    """{dll (lower case): set of names} from a file of [dll] sections, one name a line."""
    exports = {}
    current = None
    with open(path) as f:
        for number, raw in enumerate(f, 1):
            line = raw.split("#")[0].strip()
            if not line:
                continue
            if line.startswith("[") and line.endswith("]"):
                current = exports.setdefault(line[1:-1].strip().lower(), set())
            elif current is None:
                raise ValueError(f"{path}:{number}: a name before the first [dll] section")
            else:
                current.add(line)
    return exports


def problems_of(image, name, known):
    if image.machine != MACHINE_I386:
        return [f"not an i686 image (machine {image.machine:#x})"]
    problems = []
    if image.has_directory(DELAY_IMPORT_DIRECTORY):
        problems.append("has delay-load imports, which this check does not read")
    for module, routine in image.imports():
        exported = known.get(module.lower())
        if exported is None:
            problems.append(f"{module}!{routine}: {module} is not in the list of XP/2003 DLLs")
        elif routine.startswith("#"):
            problems.append(f"{module}!{routine}: imported by ordinal")
        elif routine not in exported:
            problems.append(f"{module}!{routine}: not exported by Windows XP SP3 and Server 2003")
    return problems


def main(argv):
    parser = argparse.ArgumentParser(prog=TOOL, description=__doc__.split("\n\n")[0])
    parser.add_argument("--exports", default=os.path.join(HERE, "xp-2003-exports.txt"))
    parser.add_argument("images", nargs="+")
    args = parser.parse_args(argv)
    try:
        known = read_exports(args.exports)
        images = {path: PeFile(path) for path in args.images}
        for path, image in images.items():
            if image.is_dll():
                known[os.path.basename(path).lower()] = image.exports()
        failed = 0
        for path, image in images.items():
            name = os.path.basename(path)
            problems = problems_of(image, name, known)
            for problem in problems:
                print(f"{TOOL}: {name}: {problem}")
            failed += bool(problems)
            print(f"{TOOL}: {name}: {len(image.imports())} imports, {len(problems)} problems")
    except (OSError, PeError, ValueError) as error:
        print(f"{TOOL}: {error}")
        return 2
    print(f"{TOOL}: {len(images)} images, {failed} with imports XP SP3 or Server 2003 would refuse")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
