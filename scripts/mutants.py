#!/usr/bin/env python3
"""Plants one-line faults in a scratch copy of the tree and counts how many
the tests catch.

Each catalog (scripts/mutants/*.txt) lists faults as pairs of lines under the
file they go into:

    @ app/main_panel.cpp            (optionally followed by CTest labels: window|cli)
    # why this line matters         (comments and blank lines are ignored)
    - text as it stands in the file
    + the text it becomes           (a lone "+" deletes the text)

The text before the change must occur exactly once in the file, so that a
catalog entry cannot silently go stale or land in the wrong place. A fault is
caught when the tests of its labels fail (a hang counts: every test has a
timeout); a fault that does not compile is counted apart.

    python3 scripts/mutants.py                    # every catalog
    python3 scripts/mutants.py --only main_panel  # faults in matching files
    python3 scripts/mutants.py --list             # check the catalogs only
"""
import argparse
import os
import pathlib
import shutil
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent

# The tests that exercise each part of the tree, by path prefix (first match).
LABELS = [
    ("app/cli", "cli|e2e"),
    ("app/", "handshake|sequence|image|window|cli"),
    ("comm/", "comm|enum|handshake|sequence|cli"),
    ("platform/serial/", "comm|sim|cli"),
    ("platform/registry/", "enum"),
    ("platform/toolkit/", "window|handshake|sequence"),
    ("resources/", "window|image|sequence"),
    ("sim/", "sim|e2e"),
    ("protocol/", "handshake|sequence|image|sim|cli"),
]


class Mutant:
    def __init__(self, catalog, line, path, labels, old, new):
        self.catalog, self.line, self.path, self.labels = catalog, line, path, labels
        self.old, self.new = old, new

    def where(self):
        return f"{self.catalog.name}:{self.line}"

    def describe(self):
        return f"{self.path}: {self.old.strip()!r} -> {self.new.strip()!r}"


def labels_for(path):
    for prefix, labels in LABELS:
        if path.startswith(prefix):
            return labels
    return "comm|enum|handshake|sequence|image|window|cli|sim"


def read_catalogs(directory):
    mutants, errors = [], []
    for catalog in sorted(directory.glob("*.txt")):
        path = labels = None
        old = None
        for number, raw in enumerate(catalog.read_text().splitlines(), 1):
            if raw.startswith("@ "):
                fields = raw[2:].split()
                path = fields[0]
                labels = fields[1] if len(fields) > 1 else labels_for(path)
                if not (ROOT / path).is_file():
                    errors.append(f"{catalog.name}:{number}: no file {path}")
            elif raw.startswith("- "):
                old = (number, raw[2:])
            elif raw == "+" or raw.startswith("+ "):
                if old is None or path is None:
                    errors.append(f"{catalog.name}:{number}: '+' without a '-' line under an '@' file")
                    continue
                mutants.append(Mutant(catalog, old[0], path, labels, old[1], raw[2:]))
                old = None
            elif raw.strip() and not raw.startswith("#"):
                errors.append(f"{catalog.name}:{number}: not a catalog line: {raw!r}")
    for m in mutants:
        file = ROOT / m.path
        if not file.is_file():
            continue
        count = file.read_text().count(m.old)
        if count != 1:
            errors.append(f"{m.where()}: the text occurs {count} times in {m.path}: {m.old!r}")
        elif m.old == m.new:
            errors.append(f"{m.where()}: the change changes nothing")
    return mutants, errors


def sync_tree(source, target):
    """Makes target a copy of source without its build trees and history,
    rewriting only files that differ so that the scratch build stays
    incremental."""
    wanted = set()
    for directory, subdirs, files in os.walk(source):
        rel = pathlib.Path(directory).relative_to(source)
        if rel == pathlib.Path("."):
            subdirs[:] = [d for d in subdirs if d not in ("build", ".git")]
        for name in files:
            path = rel / name
            wanted.add(path)
            data = (source / path).read_bytes()
            dest = target / path
            if not dest.is_file() or dest.read_bytes() != data:
                dest.parent.mkdir(parents=True, exist_ok=True)
                dest.write_bytes(data)
                shutil.copymode(source / path, dest)
    for directory, _, files in os.walk(target):
        for name in files:
            path = pathlib.Path(directory).relative_to(target) / name
            if path not in wanted:
                (target / path).unlink()


def run(command, log, timeout):
    with open(log, "ab") as out:
        try:
            return subprocess.run(command, stdout=out, stderr=subprocess.STDOUT, timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            return -1


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--catalogs", default=str(ROOT / "scripts" / "mutants"))
    parser.add_argument("--work", default="/tmp/odu-mutants", help="scratch copy and its build")
    parser.add_argument("--only", default="", help="only faults in files whose path contains this")
    parser.add_argument("--list", action="store_true", help="check and list the catalogs, build nothing")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    args = parser.parse_args()

    mutants, errors = read_catalogs(pathlib.Path(args.catalogs))
    for e in errors:
        print(e, file=sys.stderr)
    if errors:
        return 2
    mutants = [m for m in mutants if args.only in m.path]
    if args.list:
        for m in mutants:
            print(f"{m.where():24} {m.describe()}")
        print(f"{len(mutants)} faults")
        return 0

    work = pathlib.Path(args.work)
    src, build, log = work / "src", work / "build", work / "log.txt"
    work.mkdir(parents=True, exist_ok=True)
    log.write_bytes(b"")
    sync_tree(ROOT, src)
    env_build = ["cmake", "--build", str(build), f"-j{args.jobs}"]
    subprocess.run(["cmake", "-S", str(src), "-B", str(build), "-DCMAKE_BUILD_TYPE=Debug",
                    "-DCMAKE_CXX_FLAGS=-O0 -g0", "-DODU_BUILD_BENCH=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
    ctest = ["ctest", "--test-dir", str(build), f"-j{args.jobs}", "--timeout", "120", "--stop-on-failure"]
    if run(env_build, log, 3600) != 0 or run(ctest, log, 3600) != 0:
        print(f"the unchanged tree does not build or pass its tests: see {log}", file=sys.stderr)
        return 2

    caught, missed, broken = [], [], []
    started = time.time()
    for i, m in enumerate(mutants, 1):
        file = src / m.path
        original = file.read_text()
        file.write_text(original.replace(m.old, m.new, 1))
        with open(log, "a") as out:
            out.write(f"\n=== {m.where()} {m.describe()}\n")
        try:
            if run(env_build, log, 1800) != 0:
                broken.append(m)
                verdict = "does not build"
            elif run(ctest + ["-L", m.labels], log, 1800) != 0:
                caught.append(m)
                verdict = "caught"
            else:
                missed.append(m)
                verdict = "MISSED"
        finally:
            file.write_text(original)
        print(f"[{i}/{len(mutants)}] {verdict:14} {m.where():24} {m.describe()}", flush=True)
    run(env_build, log, 3600)  # leave the scratch build matching the tree

    tried = len(caught) + len(missed)
    share = 100.0 * len(caught) / tried if tried else 100.0
    print(f"\ncaught {len(caught)} of {tried} faults ({share:.1f}%); {len(broken)} did not build; "
          f"{time.time() - started:.0f} s")
    for m in missed:
        print(f"  missed {m.where():24} {m.describe()}")
    for m in broken:
        print(f"  does not build {m.where():24} {m.describe()}")
    return 0 if not missed else 1


if __name__ == "__main__":
    sys.exit(main())
