#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""windows-mutants.py FILE: the mutants of FILE (the format of tests/promises.mutants),
each applied in place to the checkout, the Windows build brought up to date and its
tests run under Wine, the edit taken back. Exit 0 when every mutant was killed."""
import os, re, subprocess, sys

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
os.chdir(root)
text = open(sys.argv[1]).read()
blocks = re.findall(r"^@@ (\S+) (\S+)\n(.*?)\n<<<\n(.*?)\n===\n(.*?)\n>>>$", text, re.S | re.M)
shell = ("source scripts/wine-env.sh && cmake --build --preset windows -j2 >/dev/null 2>&1 && "
         "cd build/windows && ctest -j2 --timeout 60 >/dev/null 2>&1")
survived = []
for name, path, why, old, new in blocks:
    original = open(path).read()
    if original.count(old) != 1:
        sys.exit("%s: the old text occurs %d times in %s" % (name, original.count(old), path))
    try:
        open(path, "w").write(original.replace(old, new))
        killed = subprocess.run(["bash", "-c", "root=$PWD; " + shell]).returncode != 0
    finally:
        open(path, "w").write(original)
    print("%-32s %s" % (name, "killed" if killed else "SURVIVED: " + why.strip()), flush=True)
    if not killed:
        survived.append(name)
subprocess.run(["bash", "-c", "root=$PWD; source scripts/wine-env.sh && cmake --build --preset windows -j2 >/dev/null"])
sys.exit(1 if survived else 0)
