#!/usr/bin/env python3
"""Generates the built-in message table from the resource script's STRINGTABLE."""
import re
import sys

src, out = sys.argv[1], sys.argv[2]
text = open(src, encoding="utf-8").read()
body = re.search(r"STRINGTABLE\s+BEGIN(.*?)\nEND", text, re.S)
if not body:
    sys.exit(f"{src}: no STRINGTABLE block")
entries = {}
for line in body.group(1).splitlines():
    line = line.strip()
    if not line or line.startswith("//"):
        continue
    m = re.fullmatch(r'(\d+)\s*,?\s*"((?:[^"]|"")*)"', line)
    if not m:
        sys.exit(f"{src}: cannot read string-table line: {line}")
    sid = int(m.group(1))
    if sid in entries:
        sys.exit(f"{src}: id {sid} appears twice")
    # Resource-script escapes: "" is a quote, \n \t \\ as in C.
    value = m.group(2).replace('""', '"')
    value = re.sub(r"\\(.)", lambda e: {"n": "\n", "t": "\t", "\\": "\\", "r": "\r"}.get(e.group(1), e.group(0)), value)
    entries[sid] = value


def c16(s):
    # \u escapes take exactly four digits, so a following letter is never swallowed.
    return "".join(f"\\u{ord(ch):04x}" if ord(ch) > 0x7E or ch in '"\\' or ord(ch) < 0x20 else ch
                   for ch in s)


with open(out, "w", encoding="utf-8") as f:
    f.write("// Generated from res/strings.rc by tools/gen_strings.py. Do not edit.\n")
    f.write("#include <cstdint>\n\nnamespace brc {\n\n")
    f.write("struct BuiltinMessage { uint32_t id; const char16_t* text; };\n\n")
    f.write("extern const BuiltinMessage kBuiltinMessages[] = {\n")
    for sid in sorted(entries):
        f.write(f'    {{{sid}, u"{c16(entries[sid])}"}},\n')
    f.write("};\n\n")
    f.write(f"extern const unsigned kBuiltinMessageCount = {len(entries)};\n\n}} // namespace brc\n")
