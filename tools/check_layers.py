#!/usr/bin/env python3
"""Fails when a source file includes a header from a layer above its own, or when a portable
layer includes an operating-system header.

The layer order is the BRC_LAYERS list of the root CMakeLists.txt, lowest first; a folder may
include its own headers and those of folders before it. Folders outside the list (tests, bench,
tools) sit above every layer. A layer in NARROW_LAYERS may include only the layers it names.

    tools/check_layers.py [SOURCE_DIR]
"""
import pathlib
import re
import sys

# Only these folders talk to the system directly; everything else goes through os/. A folder
# here covers its subfolders; ui/win32 is the one backend of a portable layer. cli and desktop
# hold the program entry points.
SYSTEM_FOLDERS = {("platform",), ("drivers",), ("cli",), ("desktop",), ("ui", "win32")}
SYSTEM_HEADER = re.compile(
    r"^\s*#\s*include\s*<(windows\.h|winioctl\.h|dbt\.h|commctrl\.h|windowsx\.h|io\.h|dlfcn\.h|"
    r"unistd\.h|fcntl\.h|signal\.h|termios\.h|sys/[^>]+|linux/[^>]+)>")
# Layers that reach down only into the layers named, not everything below them.
NARROW_LAYERS = {"ui": {"res", "base", "os"}}
OUR_HEADER = re.compile(r'^\s*#\s*include\s*"([^/"]+)/[^"]+"')


def layers(root):
    text = (root / "CMakeLists.txt").read_text()
    m = re.search(r"set\(BRC_LAYERS([^)]*)\)", text)
    if not m:
        sys.exit("check_layers: no set(BRC_LAYERS ...) in the root CMakeLists.txt")
    return m.group(1).split()


# Portable folders inside a system folder: the Windows disk decisions and the volume service's
# protocol are judged on recorded answers, on every system.
PORTABLE_FOLDERS = {("drivers", "windisk"), ("drivers", "volsvc")}


def talks_to_system(rel):
    def under(folders):
        return any(rel.parts[:len(folder)] == folder for folder in folders)
    return under(SYSTEM_FOLDERS) and not under(PORTABLE_FOLDERS)


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent)
    order = layers(root)
    rank = {name: i for i, name in enumerate(order)}
    problems = []
    for layer in order:
        for path in sorted((root / layer).rglob("*")):
            if path.suffix not in (".h", ".cpp", ".c") or "build" in path.relative_to(root).parts[:1]:
                continue
            rel = path.relative_to(root)
            for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
                m = OUR_HEADER.match(line)
                if m and m.group(1) in rank and rank[m.group(1)] > rank[layer]:
                    problems.append(f"{rel}:{number}: {layer} includes from {m.group(1)}, a layer above it")
                elif m and m.group(1) not in rank and m.group(1) != layer:
                    problems.append(f"{rel}:{number}: {layer} includes from {m.group(1)}, which is no layer")
                elif (m and layer in NARROW_LAYERS and m.group(1) != layer
                      and m.group(1) not in NARROW_LAYERS[layer]):
                    problems.append(f"{rel}:{number}: {layer} may include only from "
                                    f"{', '.join(sorted(NARROW_LAYERS[layer]))}, not {m.group(1)}")
                if not talks_to_system(rel) and SYSTEM_HEADER.match(line):
                    problems.append(f"{rel}:{number}: system header in the portable layer {layer}")
    for p in problems:
        print(p)
    if problems:
        print(f"check_layers: {len(problems)} include(s) break the layer order {' < '.join(order)}")
        return 1
    print(f"check_layers: includes follow {' < '.join(order)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
