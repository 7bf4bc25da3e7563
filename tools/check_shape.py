#!/usr/bin/env python3
"""Fails when a product function grows past the project's limits: none over 100 lines, at most
three over 60. Tables are data, not functions, and lambdas count within their function.

The product is the BRC_LAYERS folders of the root CMakeLists.txt; tests, bench and tools are not.
Universal Ctags finds the functions and their last lines.

    tools/check_shape.py [SOURCE_DIR]
"""
import json
import pathlib
import re
import shutil
import subprocess
import sys

LONG = 60
LONGEST = 100
LONG_ALLOWED = 3


def product_sources(root):
    text = (root / "CMakeLists.txt").read_text()
    m = re.search(r"set\(BRC_LAYERS([^)]*)\)", text)
    if not m:
        sys.exit("no BRC_LAYERS in CMakeLists.txt")
    for layer in m.group(1).split():
        for path in sorted((root / layer).rglob("*")):
            if path.suffix in (".cpp", ".h"):
                yield path


def functions(root, sources):
    out = subprocess.run(["ctags", "--output-format=json", "--languages=C++", "--c++-kinds=f",
                          "--fields=+ne", "-o", "-"] + [str(s) for s in sources],
                         capture_output=True, text=True, check=True).stdout
    for line in out.splitlines():
        tag = json.loads(line)
        if tag.get("_type") != "tag" or tag["name"].startswith("__anon") or "end" not in tag:
            continue
        where = pathlib.Path(tag["path"]).relative_to(root)
        yield tag["end"] - tag["line"] + 1, f"{where}:{tag['line']} {tag['name']}"


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    if not shutil.which("ctags"):
        print("check_shape: skipped, Universal Ctags (ctags) is not installed")
        return 77
    sources = list(product_sources(root))
    long = sorted(((n, f) for n, f in functions(root, sources) if n > LONG), reverse=True)
    faults = [f"{f}: {n} lines, more than {LONGEST}" for n, f in long if n > LONGEST]
    if len(long) > LONG_ALLOWED:
        faults.append(f"{len(long)} functions over {LONG} lines, at most {LONG_ALLOWED} allowed: "
                      + ", ".join(f"{f} ({n})" for n, f in long))
    for fault in faults:
        print(fault)
    if faults:
        return 1
    print(f"check_shape: {len(long)} of at most {LONG_ALLOWED} functions over {LONG} lines"
          + "".join(f"\n  {f} ({n})" for n, f in long))
    return 0


if __name__ == "__main__":
    sys.exit(main())
