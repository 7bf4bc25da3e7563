#!/usr/bin/env python3
"""Reads the manifests the Windows programs carry (RT_MANIFEST 1, out of the built .exe) and checks
them against each other: both carry the project's version and the same compatibility section;
both run as invoked: a user who is not an administrator formats through the volume service,
and only where that cannot be reached is the run refused, saying to run it as administrator.

    check_manifests.py BUILD_DIR VERSION     (build/mingw or build/mingw32: BUILD_DIR/bin/*.exe)

Exits 0 when both match, 1 with one line per difference, 2 on bad usage, 77 (skipped) when
BUILD_DIR holds neither program.
"""
import os
import struct
import sys
import xml.etree.ElementTree as ET

RT_MANIFEST = 24
# The desktop program asks an administrator under UAC to elevate (a standard user runs it as
# invoked); the command runs as invoked, in the console it was started from. A user who may not
# open disks formats through the volume service, which start-up starts; only without it is the
# run refused.
LEVELS = {"Brindlecard.exe": "highestAvailable", "brindlecard-cli.exe": "asInvoker"}
NS = {"v1": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3",
      "c": "urn:schemas-microsoft-com:compatibility.v1"}


def read_manifest(data):
    """The bytes of type 24, name 1, first language, as the loader finds them; None if absent."""
    (pe,) = struct.unpack_from("<I", data, 0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE image")
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    (magic,) = struct.unpack_from("<H", data, optional)
    directories = optional + (96 if magic == 0x10B else 112)  # PE32 or PE32+
    resource_rva, _ = struct.unpack_from("<II", data, directories + 2 * 8)
    if resource_rva == 0:
        return None
    table = optional + optional_size

    def offset(rva):
        for i in range(sections):
            size, address, raw_size, raw = struct.unpack_from("<IIII", data, table + 40 * i + 8)
            if address <= rva < address + max(size, raw_size):
                return rva - address + raw
        raise ValueError(f"RVA {rva:#x} in no section")

    root = offset(resource_rva)
    at = 0
    for wanted in (RT_MANIFEST, 1, None):
        named, numbered = struct.unpack_from("<HH", data, root + at + 12)
        found = None
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", data, root + at + 16 + 8 * i)
            if wanted is None or name == wanted:  # a named entry has its top bit set
                found = target
                break
        if found is None:
            return None
        if wanted is None:  # the language's entry leads to the data
            rva, size = struct.unpack_from("<II", data, root + found)
            return data[offset(rva):offset(rva) + size]
        if not found & 0x80000000:
            return None
        at = found & 0x7FFFFFFF
    return None


def facts(manifest):
    root = ET.fromstring(manifest)
    identity = root.find("v1:assemblyIdentity", NS)
    return {
        "version": identity.get("version") if identity is not None else None,
        "levels": [e.get("level") for e in root.iterfind(".//v3:requestedExecutionLevel", NS)],
        "systems": sorted(e.get("Id").lower() for e in root.iterfind(".//c:supportedOS", NS)),
    }


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    build, version = sys.argv[1], sys.argv[2]
    parts = (version.split(".") + ["0", "0", "0"])[:4]
    quad = ".".join(parts)
    paths = {name: os.path.join(build, "bin", name) for name in LEVELS}
    if not any(os.path.isfile(p) for p in paths.values()):
        print(f"check_manifests: no Windows programs in {build}/bin, skipped")
        return 77
    problems, found = [], {}
    for name, path in paths.items():
        if not os.path.isfile(path):
            problems.append(f"{name}: not built")
            continue
        with open(path, "rb") as f:
            manifest = read_manifest(f.read())
        if manifest is None:
            problems.append(f"{name}: carries no manifest (RT_MANIFEST 1)")
            continue
        found[name] = got = facts(manifest)
        if got["version"] != quad:
            problems.append(f"{name}: manifest version {got['version']}, the project is {quad}")
        if got["levels"] != [LEVELS[name]]:
            problems.append(f"{name}: execution level {got['levels']}, not {LEVELS[name]}")
        if not got["systems"]:
            problems.append(f"{name}: no compatibility section")
    if len(found) == 2 and found["brindlecard-cli.exe"]["systems"] != found["Brindlecard.exe"]["systems"]:
        problems.append("brindlecard-cli.exe: its compatibility section differs from "
                        f"Brindlecard.exe's: {found['brindlecard-cli.exe']['systems']} against "
                        f"{found['Brindlecard.exe']['systems']}")
    for p in problems:
        print(p)
    if problems:
        return 1
    print(f"check_manifests: both programs carry version {quad} and the same compatibility; "
          + ", ".join(f"{n} {LEVELS[n]}" for n in LEVELS))
    return 0


if __name__ == "__main__":
    sys.exit(main())
