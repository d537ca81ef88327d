#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# Every line "--json" prints, over runs of every kind, holds to the JSON Schema
# in docs/, read by a validator the tool has nothing to do with; so the schema
# users were given and the lines they get cannot drift apart.
# Usage: json_schema_check.py BINARY SCHEMA
import json
import os
import subprocess
import sys
import tempfile

import jsonschema

ABC_MD5 = "900150983cd24fb0d6963f7d28e17f72"
ABC_SHA256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"


def write(root, name, data):
    path = os.path.join(root, os.fsdecode(name))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as file:
        file.write(data)


def main():
    binary, schema_path = os.path.abspath(sys.argv[1]), sys.argv[2]
    with open(schema_path, encoding="utf-8") as file:
        schema = json.load(file)
    validator = jsonschema.Draft202012Validator(schema)
    odd = b'we"ird\\\n\xff'
    files = {
        b"pkg/update.txt": (
            b"ok={\nfile_path=a.bin\nmd5=" + ABC_MD5.encode() + b"\n}\n"
            b"both={\nfile_path=b.bin\nmd5=" + b"0" * 32 + b"\nsha256=" + ABC_SHA256.encode() + b"\n}\n"
            b"gone={\nfile_path=none.bin\nmd5=1\n}\nnofile={\nmd5=1\n}\nbad={\nfile_path=a.bin\nmd5=12\n}\n"
        ),
        b"pkg/a.bin": b"abc",
        b"pkg/b.bin": b"abc",
        b"pkg/new.bin": b"x",
        b"rel/a/update.txt": b"x={\nfile_path=x.bin\n}\n",
        b"rel/a/x.bin": b"abc",
        b"rel/b/target.txt": b"y={\nfile_path=y.bin\n}\n",
        odd + b"/update.txt": b'q"\xfe={\nfile_path=\xfe.bin\nsha256=1\n}\n',
        odd + b"/\xfe.bin": b"abc",
        b"bad.txt": b"a={\nk=v w\n}\n",
    }
    runs = [
        ["-c", "--json", "--unlisted", "pkg/update.txt"],
        ["--json", "-n", "pkg/update.txt"],
        ["--json", "--sha256", "pkg/update.txt"],
        ["--json", "pkg/update.txt"],
        ["-c", "--json", "-r", "rel"],
        ["--json", "-n", "-r", "rel"],
        ["--json", "-r", "rel"],
        ["--json", "-c", odd + b"/update.txt"],
        ["--json", odd + b"/update.txt"],
        ["--json", "bad.txt", "none.txt"],
        ["--json", "-c", "bad.txt"],
        ["--json", "-r", "rel", "pkg/update.txt"],
    ]
    lines = failures = 0
    with tempfile.TemporaryDirectory() as root:
        for name, data in files.items():
            write(root, name, data)
        os.symlink("target.txt", os.path.join(root, "rel/b/update.txt"))
        for arguments in runs:
            done = subprocess.run([binary] + arguments, cwd=root, capture_output=True, timeout=60)
            objects = [json.loads(line) for line in done.stdout.splitlines()]
            if not objects or objects[-1].get("exit_status") != done.returncode:
                print(f"{arguments}: the last object does not give the exit status {done.returncode}")
                failures += 1
            for number, instance in enumerate(objects, 1):
                lines += 1
                for error in validator.iter_errors(instance):
                    print(f"{arguments} line {number}: {error.message}\n  {json.dumps(instance)}")
                    failures += 1
    print(f"{lines} lines of {len(runs)} runs checked against the schema")
    return 1 if failures or lines < 40 else 0


if __name__ == "__main__":
    sys.exit(main())
