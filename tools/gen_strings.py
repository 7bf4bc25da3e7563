#!/usr/bin/env python3
"""Generates the built-in message table and the message-id constants from the resource
script's STRINGTABLE.

    gen_strings.py strings.rc builtin_strings.cpp message_ids.h

Each table line is `id "text" // Name`; the name becomes brc::msg::Name. An id without a name,
a name used twice or an id used twice stops the build.
"""
import re
import sys


def unescape(quoted):
    """The text of a quoted resource-script string (without its quotes): "" is a quotation
    mark, \\n \\t \\r \\\\ as in C."""
    value = quoted.replace('""', '"')
    return re.sub(r"\\(.)", lambda e: {"n": "\n", "t": "\t", "\\": "\\", "r": "\r"}.get(
        e.group(1), e.group(0)), value)


def read_string_table(src):
    """id -> (text, name) of the script's STRINGTABLE; stops at the first fault."""
    text = open(src, encoding="utf-8").read()
    body = re.search(r"STRINGTABLE\s+BEGIN(.*?)\nEND", text, re.S)
    if not body:
        sys.exit(f"{src}: no STRINGTABLE block")
    entries = {}
    names = {}
    for line in body.group(1).splitlines():
        line = line.strip()
        if not line or line.startswith("//"):
            continue
        m = re.fullmatch(r'(\d+)\s*,?\s*"((?:[^"]|"")*)"\s*//\s*([A-Z][A-Za-z0-9]*)', line)
        if not m:
            sys.exit(f"{src}: cannot read string-table line (id \"text\" // Name): {line}")
        sid, name = int(m.group(1)), m.group(3)
        if sid in entries:
            sys.exit(f"{src}: id {sid} appears twice")
        if name in names:
            sys.exit(f"{src}: name {name} given to ids {names[name]} and {sid}")
        names[name] = sid
        entries[sid] = (unescape(m.group(2)), name)
    return entries


def c16(s):
    # \u escapes take exactly four digits, so a following letter is never swallowed.
    return "".join(f"\\u{ord(ch):04x}" if ord(ch) > 0x7E or ch in '"\\' or ord(ch) < 0x20 else ch
                   for ch in s)


def main():
    src, out, header = sys.argv[1], sys.argv[2], sys.argv[3]
    entries = read_string_table(src)
    with open(out, "w", encoding="utf-8") as f:
        f.write("// Generated from res/strings.rc by tools/gen_strings.py. Do not edit.\n")
        f.write("#include <cstdint>\n\nnamespace brc {\n\n")
        f.write("struct BuiltinMessage { uint32_t id; const char16_t* text; };\n\n")
        f.write("extern const BuiltinMessage kBuiltinMessages[] = {\n")
        for sid in sorted(entries):
            f.write(f'    {{{sid}, u"{c16(entries[sid][0])}"}},\n')
        f.write("};\n\n")
        f.write(f"extern const unsigned kBuiltinMessageCount = {len(entries)};\n\n}} // namespace brc\n")

    with open(header, "w", encoding="utf-8") as f:
        f.write("// Generated from res/strings.rc by tools/gen_strings.py. Do not edit.\n")
        f.write("// The string-table ids by name.\n#pragma once\n\n#include <cstdint>\n\n")
        f.write("namespace brc::msg {\n\n")
        for sid in sorted(entries):
            f.write(f"inline constexpr uint32_t {entries[sid][1]} = {sid};\n")
        f.write("\n} // namespace brc::msg\n")


if __name__ == "__main__":
    main()
