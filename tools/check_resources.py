#!/usr/bin/env python3
"""Compiles the program's resource script with windres and checks what the program will find in
it: every resource it looks up, dialog templates equal to the tables that tools/gen_dialogs.py
generates for the other platforms, a message table equal to tools/gen_strings.py's, the version
and the manifest.

    check_resources.py WINDRES PROGRAM_RC VERSION INCLUDE_DIR...

Exits 77 (skipped) when WINDRES is empty or cannot run, 1 on a difference, 0 otherwise.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen_dialogs  # noqa: E402
import gen_strings  # noqa: E402

RT_ICON, RT_BITMAP, RT_DIALOG, RT_STRING, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 2, 5, 6, 14, 16, 24
ATOM_CLASSES = {0x80: "BUTTON", 0x81: "EDIT", 0x82: "STATIC", 0x83: "LISTBOX", 0x84: "SCROLLBAR",
                0x85: "COMBOBOX"}
LOOKED_UP = {  # what the program finds by id
    RT_DIALOG: [100, 102, 145, 146, 157],
    RT_GROUP_ICON: [128],
    RT_BITMAP: [144, 147, 148, 149, 150, 151, 152],
    "AVI": [153],
    RT_VERSION: [1],
    RT_MANIFEST: [1],
}
SUPPORTED_OS = {  # Vista, 7, 8 and nothing newer
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"}

problems = []


def problem(text):
    problems.append(text)


class Reader:
    def __init__(self, data, pos=0):
        self.data, self.pos = data, pos

    def u16(self):
        (v,) = struct.unpack_from("<H", self.data, self.pos)
        self.pos += 2
        return v

    def u32(self):
        (v,) = struct.unpack_from("<I", self.data, self.pos)
        self.pos += 4
        return v

    def i16(self):
        (v,) = struct.unpack_from("<h", self.data, self.pos)
        self.pos += 2
        return v

    def sz(self):
        end = self.pos
        while self.data[end:end + 2] != b"\0\0":
            end += 2
        text = self.data[self.pos:end].decode("utf-16-le")
        self.pos = end + 2
        return text

    def name(self):
        """An ordinal (0xFFFF then the number) or a string."""
        if self.data[self.pos:self.pos + 2] == b"\xff\xff":
            self.pos += 2
            return self.u16()
        return self.sz()

    def align(self, n=4, base=0):
        self.pos = base + (self.pos - base + n - 1) // n * n


def resources(data):
    """(type, name, language) -> data of a .res file."""
    out = {}
    r = Reader(data)
    while r.pos < len(data):
        start = r.pos
        size, header = r.u32(), r.u32()
        rtype, rname = r.name(), r.name()
        r.align()
        r.u32()
        r.u16()
        language = r.u16()
        body = data[start + header:start + header + size]
        if size:
            out[(rtype, rname, language)] = body
        r.pos = start + header + size
        r.align()
    return out


def by_id(res, rtype, rname):
    found = [body for (t, n, _), body in res.items() if t == rtype and n == rname]
    return found[0] if found else None


def dialog(body):
    """The fields of a DIALOG or DIALOGEX template, as gen_dialogs.py names them."""
    r = Reader(body)
    ex = body[2:4] == b"\xff\xff"
    if ex:
        r.u16(); r.u16(); r.u32()
        ex_style, style = r.u32(), r.u32()
    else:
        style, ex_style = r.u32(), r.u32()
    count = r.u16()
    x, y, cx, cy = r.i16(), r.i16(), r.i16(), r.i16()
    r.name(); r.name()
    d = {"caption": r.sz(), "style": style, "exStyle": ex_style, "x": x, "y": y, "cx": cx,
         "cy": cy, "fontFace": "", "pointSize": 0, "controls": []}
    if style & gen_dialogs.DS["DS_SETFONT"]:
        d["pointSize"] = r.u16()
        if ex:
            r.u16(); r.u16()
        d["fontFace"] = r.sz()
    for _ in range(count):
        r.align()
        if ex:
            r.u32()
            c_ex, c_style = r.u32(), r.u32()
        else:
            c_style, c_ex = r.u32(), r.u32()
        cxy = r.i16(), r.i16(), r.i16(), r.i16()
        cid = r.u32() if ex else r.u16()
        if cid in (0xFFFF, 0xFFFFFFFF):
            cid = -1
        cls = r.name()
        cls = ATOM_CLASSES.get(cls, cls) if isinstance(cls, int) else cls
        text = r.name()
        extra = r.u16()
        r.pos += extra
        d["controls"].append({
            "id": cid, "windowClass": cls.upper(), "text": text if isinstance(text, str) else "",
            "imageId": text if isinstance(text, int) else 0, "style": c_style, "exStyle": c_ex,
            "x": cxy[0], "y": cxy[1], "cx": cxy[2], "cy": cxy[3]})
    return d


def show(field, value):
    return f"0x{value:08X}" if field in ("style", "exStyle") else repr(value)


def compare_dialogs(res, script):
    fields = ("caption", "style", "exStyle", "x", "y", "cx", "cy", "fontFace", "pointSize")
    control_fields = ("windowClass", "text", "imageId", "style", "exStyle", "x", "y", "cx", "cy")
    for expected in gen_dialogs.parse_file(script):
        body = by_id(res, RT_DIALOG, expected["id"])
        if body is None:
            problem(f"dialog {expected['id']}: not in the compiled resources")
            continue
        got = dialog(body)
        where = f"dialog {expected['id']}"
        for f in fields:
            if got[f] != expected[f]:
                problem(f"{where}: {f} is {show(f, got[f])} from windres, "
                        f"{show(f, expected[f])} in the tables")
        if len(got["controls"]) != len(expected["controls"]):
            problem(f"{where}: {len(got['controls'])} controls from windres, "
                    f"{len(expected['controls'])} in the tables")
            continue
        for n, (g, e) in enumerate(zip(got["controls"], expected["controls"])):
            if g["id"] != e["id"]:
                problem(f"{where}: control {n} is {g['id']} from windres, {e['id']} in the tables")
                continue
            for f in control_fields:
                want = e[f].upper() if f == "windowClass" else e[f]
                if g[f] != want:
                    problem(f"{where} control {e['id']}: {f} is {show(f, g[f])} from windres, "
                            f"{show(f, want)} in the tables")


def compiled_strings(res):
    """id -> text of the compiled string table (blocks of 16, the empty ones left out)."""
    out = {}
    for (rtype, block, _), body in res.items():
        if rtype != RT_STRING:
            continue
        r = Reader(body)
        for k in range(16):
            length = r.u16()
            if length:
                out[(block - 1) * 16 + k] = body[r.pos:r.pos + 2 * length].decode("utf-16-le")
            r.pos += 2 * length
    return out


def compare_strings(res, script):
    compiled = compiled_strings(res)
    expected = {sid: text for sid, (text, _) in gen_strings.read_string_table(script).items()}
    for sid in sorted(set(compiled) | set(expected)):
        if compiled.get(sid) != expected.get(sid):
            problem(f"string {sid}: {compiled.get(sid)!r} from windres, "
                    f"{expected.get(sid)!r} in the built-in table")


def version_tree(body, pos=0):
    """(key, value, children) of a VS_VERSIONINFO node."""
    r = Reader(body, pos)
    length, value_length, kind = r.u16(), r.u16(), r.u16()
    key = r.sz()
    r.align(4)
    if kind == 1:  # text, value_length in characters
        value = body[r.pos:r.pos + 2 * value_length].decode("utf-16-le").rstrip("\0")
        r.pos += 2 * value_length
    else:
        value = body[r.pos:r.pos + value_length]
        r.pos += value_length
    r.align(4)
    children = []
    while r.pos < pos + length:
        child, end = version_tree(body, r.pos)
        children.append(child)
        r.pos = end
        r.align(4)
    return (key, value, children), pos + length


def check_version(res, version):
    body = by_id(res, RT_VERSION, 1)
    if body is None:
        return
    (key, fixed, children), _ = version_tree(body)
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
    if key != "VS_VERSION_INFO" or signature != 0xFEEF04BD:
        problem("version: not a VS_VERSION_INFO block")
        return
    parts = [int(p) for p in version.split(".")] + [0, 0, 0]
    want_ms, want_ls = (parts[0] << 16) | parts[1], (parts[2] << 16) | parts[3]
    if (product_ms, product_ls) != (want_ms, want_ls) or (file_ms, file_ls) != (want_ms, want_ls):
        problem(f"version: product {product_ms:08x}.{product_ls:08x}, file "
                f"{file_ms:08x}.{file_ls:08x}; the project is {version}")
    tables = {t[0]: dict((s[0], s[1]) for s in t[2])
              for c in children if c[0] == "StringFileInfo" for t in c[2]}
    japanese = tables.get("041104B0", {})
    if not japanese.get("LegalCopyright", "").strip():
        problem("version: no LegalCopyright in the \"041104B0\" block, which the about box reads")
    if japanese.get("ProductName") != "Brindlecard":
        problem(f"version: ProductName is {japanese.get('ProductName')!r}")


def check_manifest(res):
    body = by_id(res, RT_MANIFEST, 1)
    if body is None:
        return
    root = ET.fromstring(body)
    ns = {"v1": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3",
          "c": "urn:schemas-microsoft-com:compatibility.v1",
          "w": "http://schemas.microsoft.com/SMI/2005/WindowsSettings"}
    controls = [a for a in root.iterfind(".//v1:dependentAssembly/v1:assemblyIdentity", ns)
                if a.get("name") == "Microsoft.Windows.Common-Controls"]
    if not controls or not controls[0].get("version", "").startswith("6."):
        problem("manifest: no dependency on common controls 6")
    levels = [e.get("level") for e in root.iterfind(".//v3:requestedExecutionLevel", ns)]
    # The highest the user has: an administrator elevates, a standard user goes through the
    # volume service.
    if levels != ["highestAvailable"]:
        problem(f"manifest: execution level {levels}")
    dpi = [e.text.strip() for e in root.iterfind(".//w:dpiAware", ns)]
    if dpi != ["true"]:
        problem(f"manifest: dpiAware {dpi}, not system aware")
    systems = {e.get("Id").lower() for e in root.iterfind(".//c:supportedOS", ns)}
    if systems != SUPPORTED_OS:
        problem(f"manifest: supported systems {sorted(systems)}; Vista, 7 and 8 and nothing newer "
                "keep Windows 10 and 11 reporting 6.2")


def check_looked_up(res):
    for rtype, ids in LOOKED_UP.items():
        for rid in ids:
            if by_id(res, rtype, rid) is None:
                problem(f"resource {rtype}/{rid}: looked up by the program, not compiled in")
    group = by_id(res, RT_GROUP_ICON, 128)
    if group:
        r = Reader(group)
        r.u16(); r.u16()
        sizes = []
        for _ in range(r.u16()):
            width = group[r.pos] or 256
            r.pos += 12
            icon = r.u16()
            sizes.append(width)
            if by_id(res, RT_ICON, icon) is None:
                problem(f"icon 128: image {icon} missing")
        if sorted(sizes) != [16, 32, 48]:
            problem(f"icon 128: sizes {sorted(sizes)}, not 16, 32 and 48")


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    windres, program_rc, version, includes = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
    if not windres or not shutil.which(windres):
        print("check_resources: no windres, skipped")
        return 77
    res_dir = os.path.dirname(os.path.abspath(program_rc))
    with tempfile.TemporaryDirectory() as tmp:
        # A toolchain without the system's headers cannot tell us anything: skip, not fail.
        probe = os.path.join(tmp, "probe.rc")
        with open(probe, "w") as f:
            f.write("#include <windows.h>\n#include <commctrl.h>\n#include <winver.h>\n"
                    "1 RCDATA BEGIN 0 END\n")
        if subprocess.run([windres, "-O", "res", probe, os.path.join(tmp, "probe.res")],
                          capture_output=True).returncode != 0:
            print("check_resources: windres cannot read the system's headers here, skipped")
            return 77
        out = os.path.join(tmp, "program.res")
        command = [windres, "-O", "res"] + [f"-I{d}" for d in includes] + [program_rc, out]
        run = subprocess.run(command, capture_output=True, text=True)
        if run.returncode != 0:
            print(f"check_resources: windres failed:\n{run.stderr}")
            return 1
        with open(out, "rb") as f:
            res = resources(f.read())
    check_looked_up(res)
    compare_dialogs(res, os.path.join(res_dir, "dialogs.rc"))
    compare_strings(res, os.path.join(res_dir, "strings.rc"))
    check_version(res, version)
    check_manifest(res)
    for p in problems:
        print(p)
    if problems:
        print(f"check_resources: {len(problems)} problem(s)")
        return 1
    print(f"check_resources: {len(res)} resources compiled; dialogs and texts match the tables")
    return 0


if __name__ == "__main__":
    sys.exit(main())
