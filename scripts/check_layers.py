#!/usr/bin/env python3
"""Checks that each folder of the tree includes only what its layer may use.

    python3 scripts/check_layers.py [ROOT]

Every #include "folder/..." of a source file under one of the folders below
must name a folder its layer may use; every #include <...> of a system
interface (POSIX, Win32, Qt) must be in a backend: a file whose name says
which system it is written for (_posix, _win32, _winsock, _qt, or a program
that runs on one system only). Prints each breach as FILE:LINE and exits 1
when there is one.
"""
import pathlib
import re
import sys

# What each folder may include, besides itself.
MAY_USE = {
    "protocol": set(),
    "platform": set(),
    "resources": set(),
    "comm": {"platform"},
    "sim": {"protocol", "platform", "resources"},
    # The window, its run and the command line; the simulator for --simulate.
    "app": {"comm", "platform", "protocol", "resources", "sim"},
    "bench": {"app", "comm", "platform", "protocol", "resources", "sim", "tests"},
    "tests": {"app", "comm", "platform", "protocol", "resources", "sim"},
}

# Headers of the operating systems and of the window toolkit.
SYSTEM = re.compile(
    r"^(windows|winsock2|ws2tcpip|io|commctrl|setupapi|termios|unistd|fcntl|poll|signal|pthread|dirent|netdb|"
    r"sys/.*|linux/.*|netinet/.*|arpa/.*)\.h$|^Q[A-Za-z]+$|^Qt[A-Za-z]+/"
)
# The files written for one system. The simulator's program serves a
# pseudo-terminal and the benchmarks drive one, which only POSIX systems
# have; the tests reach into every backend.
BACKEND = re.compile(r"_(posix|win32|winsock|qt)(_[a-z_]+)?\.(h|cpp)$|^sim/station_sim_main\.cpp$|^(tests|bench)/")

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def breaches(root):
    for folder in MAY_USE:
        for path in sorted((root / folder).rglob("*")):
            if path.suffix not in (".h", ".cpp", ".c") or "corpus" in path.parts:
                continue
            name = path.relative_to(root).as_posix()
            for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
                m = INCLUDE.match(line)
                if not m:
                    continue
                kind, header = m.groups()
                if kind == '"' and "/" in header:
                    used = header.split("/", 1)[0]
                    if used in MAY_USE and used != folder and used not in MAY_USE[folder]:
                        yield f"{name}:{number}: {folder}/ may not include {used}/ ({header})"
                elif kind == "<" and SYSTEM.match(header) and not BACKEND.search(name):
                    yield f"{name}:{number}: portable code may not include a system header (<{header}>)"


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent)
    found = list(breaches(root))
    for breach in found:
        print(breach)
    print(f"{len(found)} includes across layers" if found else "every include within its layer")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
