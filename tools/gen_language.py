#!/usr/bin/env python3
"""Turns a translation table (res/lang/*.txt) into what the build needs.

    gen_language.py rc TABLE strings.rc dialogs.rc OUT.rc
        the language library's resource script: the message table, the dialog templates with
        their own texts translated (and controls moved where the table says so) and the pictures
        (pictures.rc, found through the include path, the same files as the program's)
    gen_language.py cpp OUT.cpp TABLE...
        the command line's tables: for each language its tag and the message table
    gen_language.py text TABLE strings.rc KEY
        one text as a language shows it (KEY a message id or a dialog text's original; TABLE "-"
        for the program's own texts), for the tests that read the program's windows

A table holds `library TAG LANG_x SUBLANG_y`, optionally `font POINTS`, and entries:
    ID ru "original" / tr "translation"        a message of the string table
    dialog ru "original" / tr "translation"    a text written in the dialog templates
    place DIALOG CONTROL x y cx cy             DIALOG and CONTROL are ids by their names in
                                               res/resource_ids.h; CONTROL may instead be the
                                               original text of a control that has none
Texts are quoted as in a resource script. Whether a table is complete and still matches the
originals is for tools/check_languages.py to say; this script only refuses what it cannot read.
"""
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen_dialogs  # noqa: E402
import gen_strings  # noqa: E402

QUOTED = r'"((?:[^"]|"")*)"'


class Table:
    def __init__(self, path):
        self.path = path
        self.tag = self.language = self.sublanguage = None
        self.font = None
        self.strings = {}   # id -> (original, translation, translation as quoted)
        self.texts = {}     # original -> (translation, translation as quoted)
        self.places = []    # (dialog, control, x, y, cx, cy)
        self.faults = []    # what a reader of the table should fix (entries twice and such)


def read_table(path):
    table = Table(path)
    lines = open(path, encoding="utf-8").read().splitlines()
    key = None
    pending = {}

    def fail(n, why):
        sys.exit(f"{path}:{n}: {why}")

    def finish(n):
        nonlocal key, pending
        if key is None:
            return
        if set(pending) != {"ru", "tr"}:
            fail(n, f"entry {key!r} needs one ru and one tr line")
        ru, tr = pending["ru"], pending["tr"]
        if isinstance(key, int):
            if key in table.strings:
                table.faults.append(f"message {key} is translated twice")
            table.strings[key] = (ru[0], tr[0], tr[1])
        else:
            if ru[0] in table.texts:
                table.faults.append(f"dialog text {ru[0]!r} is translated twice")
            table.texts[ru[0]] = (tr[0], tr[1])
        key, pending = None, {}

    for n, line in enumerate(lines, 1):
        text = line.strip()
        if not text or text.startswith("#"):
            continue
        words = text.split()
        if words[0] == "library" and len(words) == 4:
            finish(n)
            table.tag, table.language, table.sublanguage = words[1:]
            continue
        if words[0] == "font" and len(words) == 2 and words[1].isdigit():
            finish(n)
            table.font = int(words[1])
            continue
        if words[0] == "place":
            finish(n)
            m = re.fullmatch(r"place\s+(\w+)\s+(-?\w+|" + QUOTED + r")\s+(\d+)\s+(\d+)\s+(\d+)\s+(\d+)",
                             text)
            if not m:
                fail(n, "place DIALOG CONTROL x y cx cy")
            control = gen_strings.unescape(m.group(3)) if m.group(3) is not None else m.group(2)
            table.places.append((m.group(1), control) + tuple(int(m.group(k)) for k in range(4, 8)))
            continue
        m = re.fullmatch(r"(?:(\d+|dialog)\s+)?(ru|tr)\s+" + QUOTED, text)
        if not m:
            fail(n, f"cannot read: {text}")
        if m.group(1):
            finish(n)
            key = int(m.group(1)) if m.group(1).isdigit() else m.group(1)
        elif key is None:
            fail(n, "ru or tr line outside an entry")
        if m.group(2) in pending:
            fail(n, f"second {m.group(2)} line in one entry")
        pending[m.group(2)] = (gen_strings.unescape(m.group(3)), m.group(3))
    finish(len(lines))
    if table.tag is None:
        sys.exit(f"{path}: no `library TAG LANG_x SUBLANG_y` line")
    return table


def split_arguments(text):
    """The comma-separated arguments of a control statement; quoted texts may hold commas."""
    parts, current, quoted = [], "", False
    for ch in text:
        if ch == '"':
            quoted = not quoted
        if ch == "," and not quoted:
            parts.append(current)
            current = ""
        else:
            current += ch
    parts.append(current)
    return parts


# Where a statement's x, y, cx and cy sit among its arguments.
NO_TEXT = {"COMBOBOX", "EDITTEXT", "LISTBOX", "SCROLLBAR"}


def translate_dialogs(table, source):
    """dialogs.rc with the table's texts, font and places applied."""
    try:
        defines = gen_dialogs.script_defines(source)
    except gen_dialogs.ScriptError as e:
        sys.exit(str(e))

    def number(word):
        """An id as the script or the table writes it: a number or a name of the ids header."""
        word = word.strip()
        return defines.get(word, int(word) if re.fullmatch(r"-?\d+", word) else word)

    out, dialog, used = [], None, set()
    places = {(number(d), number(c)): xywh for d, c, *xywh in table.places}
    moved = set()
    for line in open(source, encoding="utf-8").read().splitlines():
        head = re.match(r"(\w+)\s+DIALOG(?:EX)?\b", line)
        if head:
            dialog = number(head.group(1))
        elif table.font and re.match(r"\s*FONT\s+\d+\s*,", line):
            line = re.sub(r"FONT\s+\d+", f"FONT {table.font}", line, count=1)

        def swap(m):
            original = gen_strings.unescape(m.group(1))
            if original in table.texts:
                used.add(original)
                return f'"{table.texts[original][1]}"'
            return m.group(0)

        translated = line if line.lstrip().startswith("//") else re.sub(QUOTED, swap, line)
        statement = re.match(r"(\s*)([A-Z]+)(\s+)(.*)$", line)
        if dialog is not None and statement and statement.group(2) not in (
                "STYLE", "CAPTION", "FONT", "BEGIN", "END", "EXSTYLE"):
            kind = statement.group(2)
            args = split_arguments(statement.group(4))
            first = 0 if kind in NO_TEXT else 1
            control_id = number(args[first])
            if control_id == -1 and first == 1:
                control_id = gen_strings.unescape(args[0].strip()[1:-1])
            coords = 4 if kind == "CONTROL" else first + 1
            place = places.get((dialog, control_id))
            if place:
                moved.add((dialog, control_id))
                targs = split_arguments(re.match(r"(\s*[A-Z]+\s+)(.*)$", translated).group(2))
                for k, value in enumerate(place):
                    targs[coords + k] = f" {value}"
                translated = statement.group(1) + kind + statement.group(3) + ",".join(targs)
        out.append(translated)
    for d, c, *_ in table.places:
        if (number(d), number(c)) not in moved:
            sys.exit(f"{table.path}: place {d} {c}: no such control in {source}")
    return "\n".join(out) + "\n"


def write_rc(table, strings_rc, dialogs_rc, out):
    originals = gen_strings.read_string_table(strings_rc)
    with open(out, "w", encoding="utf-8") as f:
        f.write(f"// Generated from {os.path.basename(table.path)} by tools/gen_language.py. "
                "Do not edit.\n")
        f.write("#include <windows.h>\n#include <commctrl.h>\n#pragma code_page(65001)\n\n")
        f.write(f"LANGUAGE {table.language}, {table.sublanguage}\n\n")
        f.write(translate_dialogs(table, dialogs_rc))
        f.write("\nSTRINGTABLE\nBEGIN\n")
        for sid in sorted(table.strings):
            if sid in originals:
                f.write(f'    {sid} "{table.strings[sid][2]}"\n')
        f.write("END\n\n#include \"pictures.rc\"\n")


def write_cpp(tables, out):
    with open(out, "w", encoding="utf-8") as f:
        f.write("// Generated from res/lang by tools/gen_language.py. Do not edit.\n")
        f.write("#include <cstdint>\n\nnamespace brc {\n\n")
        f.write("struct BuiltinMessage { uint32_t id; const char16_t* text; };\n")
        f.write("struct TranslatedTable { const char* tag; const BuiltinMessage* messages; "
                "unsigned count; };\n\n")
        for t in tables:
            f.write(f"static const BuiltinMessage k{t.tag}[] = {{\n")
            for sid in sorted(t.strings):
                f.write(f'    {{{sid}, u"{gen_strings.c16(t.strings[sid][1])}"}},\n')
            f.write("};\n\n")
        f.write("extern const TranslatedTable kTranslatedTables[] = {\n")
        for t in tables:
            f.write(f'    {{"{t.tag}", k{t.tag}, {len(t.strings)}}},\n')
        f.write("};\n\n")
        f.write(f"extern const unsigned kTranslatedTableCount = {len(tables)};\n\n"
                "} // namespace brc\n")


def main():
    if len(sys.argv) >= 6 and sys.argv[1] == "rc":
        write_rc(read_table(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5])
    elif len(sys.argv) >= 4 and sys.argv[1] == "cpp":
        write_cpp([read_table(p) for p in sys.argv[3:]], sys.argv[2])
    elif len(sys.argv) == 5 and sys.argv[1] == "text":
        key = sys.argv[4]
        if sys.argv[2] == "-":
            text = gen_strings.read_string_table(sys.argv[3])[int(key)][0] if key.isdigit() else key
        else:
            table = read_table(sys.argv[2])
            text = table.strings[int(key)][1] if key.isdigit() else table.texts[key][0]
        sys.stdout.write(text)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
