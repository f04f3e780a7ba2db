#!/usr/bin/env python3
"""Drives tools/check-includes.py over small git trees with breaches planted on purpose, and over a
copy of the real tree with one planted breach."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
CHECKER = os.path.join(ROOT, "tools", "check-includes.py")

CLEAN_TREE = {
    "include/IConfInfoInc.h": "#pragma once\n",
    "include/IOrvaneInc.h": '#pragma once\n#include "IConfInfoInc.h"\n',
    "common/Win32.h": "#pragma once\n#include <windows.h>\n",
    "watcher/DirectoryChanges.h": '#pragma once\n#include "common/Win32.h"\n',
    "watcher/DelayedDirectoryChangeHandler.h": '#pragma once\n#include "watcher/DirectoryChanges.h"\n',
    "recorder/FileChangeRecorder.h": '#pragma once\n#include "watcher/DirectoryChanges.h"\n',
    "boundary/OrvaneApp.cpp": '#include "recorder/FileChangeRecorder.h"\n'
                              '#include "watcher/DirectoryChanges.h"\n#include <string>\n',
    "host/track/TrackMain.cpp": '#include "common/Win32.h"\n',
    "stand-ins/tavish/ITavishInc.h": "#pragma once\n#include <windows.h>\n",
    "stand-ins/tavish/Base64.cpp": '#include "stand-ins/tavish/ITavishInc.h"\n',
    "tests/watcher/Watchdog.h": "#pragma once\n",
    "tests/watcher/core/WatchTest.cpp": '#include "tests/watcher/Watchdog.h"\n'
                                        '#include "watcher/DirectoryChanges.h"\n',
}


def run_checker(root, *extra):
    return subprocess.run([sys.executable, CHECKER, root, *extra], capture_output=True, text=True,
                          timeout=120)


def make_tree(files):
    root = tempfile.mkdtemp(prefix="check-includes-")
    for path, text in files.items():
        full = os.path.join(root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w") as f:
            f.write(text)
    subprocess.run(["git", "init", "-q", root], check=True)
    subprocess.run(["git", "-C", root, "add", "."], check=True)
    return root


class PlantedBreaches(unittest.TestCase):
    def check(self, planted):
        root = make_tree({**CLEAN_TREE, **planted})
        self.addCleanup(shutil.rmtree, root)
        return run_checker(root)

    def assertBreach(self, planted, text):
        result = self.check(planted)
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertIn(text, result.stdout)

    def test_clean_tree_passes(self):
        result = self.check({})
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertIn("12 files keep to the layers", result.stdout)

    def test_upward_and_sideways_includes_fail(self):
        self.assertBreach({"watcher/Worker.cpp": '#include "recorder/FileChangeRecorder.h"\n'},
                          'watcher/Worker.cpp:1: watcher/ may not include '
                          '"recorder/FileChangeRecorder.h"')
        self.assertBreach({"host/track/Noise.cpp": '#include "boundary/OrvaneApp.cpp"\n'},
                          'host/track/ may not include "boundary/OrvaneApp.cpp"')

    def test_boundary_reaches_the_watcher_only_through_its_umbrella(self):
        self.assertBreach(
            {"boundary/Assembly.cpp": '#include "watcher/DelayedDirectoryChangeHandler.h"\n'},
            'boundary/ may not include "watcher/DelayedDirectoryChangeHandler.h"')

    def test_stand_ins_include_nothing_of_the_project(self):
        self.assertBreach({"stand-ins/tavish/TrailPath.cpp": '#include "common/Win32.h"\n'},
                          'stand-ins/tavish/ may not include "common/Win32.h"')

    def test_tests_keep_to_their_own_folder_and_the_kit(self):
        self.assertBreach({"tests/recorder/T.cpp": '#include "tests/watcher/Watchdog.h"\n'},
                          'tests/ may not include "tests/watcher/Watchdog.h"')

    def test_windows_header_only_through_the_one_entry(self):
        self.assertBreach({"registry/Monitor.cpp": "#include <Windows.h>\n"},
                          "registry/Monitor.cpp:1: includes <windows.h> directly")

    def test_missing_and_bare_includes_fail(self):
        self.assertBreach({"registry/Monitor.cpp": '#include "registry/Gone.h"\n'},
                          'includes "registry/Gone.h", which is no tracked header')
        self.assertBreach({"watcher/Worker.cpp": '#include "DirectoryChanges.h"\n'},
                          'write it from the root as "watcher/DirectoryChanges.h"')

    def test_installed_headers_name_their_siblings_alone(self):
        self.assertBreach({"include/IOrvaneInc.h": '#include "include/IConfInfoInc.h"\n'},
                          "an installed header names its sibling alone")
        self.assertBreach({"include/IOrvaneInc.h": '#include "common/Win32.h"\n'},
                          "an installed header names its sibling alone")

    def test_a_folder_without_a_rule_fails(self):
        self.assertBreach({"scratch/Thing.cpp": "\n"}, "scratch/Thing.cpp: no layer rule")

    def test_fix_rewrites_bare_includes_from_the_root(self):
        root = make_tree({**CLEAN_TREE, "watcher/Worker.cpp": '  #  include "DirectoryChanges.h"\n'})
        self.addCleanup(shutil.rmtree, root)
        result = run_checker(root, "--fix")
        self.assertEqual(result.returncode, 0, result.stdout)
        with open(os.path.join(root, "watcher/Worker.cpp")) as f:
            self.assertEqual(f.read(), '  #  include "watcher/DirectoryChanges.h"\n')


class RealTree(unittest.TestCase):
    def test_a_breach_planted_in_the_real_tree_fails(self):
        listed = subprocess.run(["git", "-C", ROOT, "ls-files"], check=True, capture_output=True,
                                text=True).stdout.split()
        files = {}
        for path in listed:
            if path.endswith((".c", ".cpp", ".h")):
                with open(os.path.join(ROOT, path), encoding="utf-8",
                          errors="surrogateescape") as f:
                    files[path] = f.read()
        before = run_checker(ROOT)
        planted = "registry/RegistryMonitor.h"
        files[planted] = files[planted] + '#include "recorder/FileChangeRecorder.h"\n'
        root = make_tree(files)
        self.addCleanup(shutil.rmtree, root)
        after = run_checker(root)
        self.assertEqual(after.returncode, 1, after.stdout)
        self.assertIn('registry/RegistryMonitor.h:', after.stdout)
        self.assertIn('registry/ may not include "recorder/FileChangeRecorder.h"', after.stdout)
        # The planted line is the one breach more: a passing tree had only its summary line.
        breaches_before = len(before.stdout.splitlines()) - 1 if before.returncode else 0
        self.assertEqual(len(after.stdout.splitlines()), breaches_before + 2, after.stdout)


if __name__ == "__main__":
    unittest.main()
