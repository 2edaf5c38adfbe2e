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

# What each folder may include, besides itself. A file belongs to the
# longest folder here that holds it, and so does a header it includes.
MAY_USE = {
    "protocol": set(),
    "platform": set(),
    "resources": set(),
    "comm": {"platform"},
    "sim": {"protocol", "platform", "resources"},
    # The window and its run; the headless run that every front end drives;
    # the command line over it.
    "app": {"comm", "platform", "protocol", "resources"},
    "app/run": {"app", "comm", "platform", "protocol", "resources"},
    "app/cli": {"app", "app/run", "comm", "platform", "protocol", "resources"},
    "bench": {"app", "app/run", "app/cli", "comm", "platform", "protocol", "resources", "sim", "tests"},
    "tests": {"app", "app/run", "app/cli", "comm", "platform", "protocol", "resources", "sim"},
}

# The programs' mains wire the simulator in for --simulate; nothing else of
# the tool may reach it.
MAINS = {"app/gui_main.cpp": {"sim"}, "app/cli/cli_main.cpp": {"sim"}}


def layer_of(path):
    """The longest folder of MAY_USE that holds `path`, or None."""
    best = None
    for folder in MAY_USE:
        if path.startswith(folder + "/") and (best is None or len(folder) > len(best)):
            best = folder
    return best


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
            if layer_of(name) != folder:
                continue  # a file of a folder within this one
            allowed = MAY_USE[folder] | MAINS.get(name, set())
            for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
                m = INCLUDE.match(line)
                if not m:
                    continue
                kind, header = m.groups()
                if kind == '"' and "/" in header:
                    used = layer_of(header)
                    if used is not None and used != folder and used not in allowed:
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
