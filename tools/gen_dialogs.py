#!/usr/bin/env python3
"""Generates the dialog templates as data (res/dialog_templates.h) from the resource script.

    gen_dialogs.py dialogs.rc dialog_tables.cpp

Reads the part of the resource-script language that res/dialogs.rc uses: DIALOG and DIALOGEX
with STYLE, EXSTYLE, CAPTION and FONT, and the controls CONTROL, PUSHBUTTON, DEFPUSHBUTTON,
LTEXT, RTEXT, CTEXT, EDITTEXT, COMBOBOX, GROUPBOX, AUTORADIOBUTTON and AUTOCHECKBOX, with style
expressions of named constants and numbers joined by | and NOT. `#define NAME number` lines are
honoured, in the script and in a header it includes with quotes (res/resource_ids.h, read from
beside the script); other preprocessor lines are skipped. Anything else stops the build, so that
the tables never silently differ from what windres builds into the program.

Styles are combined as windres combines them: a dialog without STYLE is WS_POPUP | WS_BORDER |
WS_SYSMENU, CAPTION adds WS_CAPTION and FONT adds DS_SETFONT; a control is WS_CHILD | WS_VISIBLE
with the statement's default style when it names none, or with the statement's base style and
the named bits, applied left to right (NOT clears), when it does. The base style is not always
the documented default: an explicit style drops WS_GROUP from the texts and WS_TABSTOP from
COMBOBOX and AUTORADIOBUTTON, so dialogs.rc names those bits where it wants them.
tools/check_resources.py compares the result with windres's own output.
"""
import os
import re
import sys

WS = {
    "WS_OVERLAPPED": 0, "WS_POPUP": 0x80000000, "WS_CHILD": 0x40000000,
    "WS_MINIMIZE": 0x20000000, "WS_VISIBLE": 0x10000000, "WS_DISABLED": 0x08000000,
    "WS_CLIPSIBLINGS": 0x04000000, "WS_CLIPCHILDREN": 0x02000000, "WS_MAXIMIZE": 0x01000000,
    "WS_CAPTION": 0x00C00000, "WS_BORDER": 0x00800000, "WS_DLGFRAME": 0x00400000,
    "WS_VSCROLL": 0x00200000, "WS_HSCROLL": 0x00100000, "WS_SYSMENU": 0x00080000,
    "WS_THICKFRAME": 0x00040000, "WS_GROUP": 0x00020000, "WS_TABSTOP": 0x00010000,
    "WS_MINIMIZEBOX": 0x00020000, "WS_MAXIMIZEBOX": 0x00010000,
    "WS_EX_DLGMODALFRAME": 0x1, "WS_EX_NOPARENTNOTIFY": 0x4, "WS_EX_TOPMOST": 0x8,
    "WS_EX_TRANSPARENT": 0x20, "WS_EX_TOOLWINDOW": 0x80, "WS_EX_WINDOWEDGE": 0x100,
    "WS_EX_CLIENTEDGE": 0x200, "WS_EX_CONTEXTHELP": 0x400, "WS_EX_RIGHT": 0x1000,
    "WS_EX_CONTROLPARENT": 0x10000, "WS_EX_STATICEDGE": 0x20000, "WS_EX_APPWINDOW": 0x40000,
}
DS = {
    "DS_ABSALIGN": 0x1, "DS_SYSMODAL": 0x2, "DS_3DLOOK": 0x4, "DS_FIXEDSYS": 0x8,
    "DS_NOFAILCREATE": 0x10, "DS_LOCALEDIT": 0x20, "DS_SETFONT": 0x40, "DS_MODALFRAME": 0x80,
    "DS_NOIDLEMSG": 0x100, "DS_SETFOREGROUND": 0x200, "DS_CONTROL": 0x400, "DS_CENTER": 0x800,
    "DS_CENTERMOUSE": 0x1000, "DS_CONTEXTHELP": 0x2000, "DS_SHELLFONT": 0x48,
}
SS = {
    "SS_LEFT": 0x0, "SS_CENTER": 0x1, "SS_RIGHT": 0x2, "SS_ICON": 0x3, "SS_BLACKRECT": 0x4,
    "SS_GRAYRECT": 0x5, "SS_WHITERECT": 0x6, "SS_BLACKFRAME": 0x7, "SS_GRAYFRAME": 0x8,
    "SS_WHITEFRAME": 0x9, "SS_SIMPLE": 0xB, "SS_LEFTNOWORDWRAP": 0xC, "SS_BITMAP": 0xE,
    "SS_ETCHEDHORZ": 0x10, "SS_ETCHEDVERT": 0x11, "SS_ETCHEDFRAME": 0x12,
    "SS_REALSIZECONTROL": 0x40, "SS_NOPREFIX": 0x80, "SS_NOTIFY": 0x100,
    "SS_CENTERIMAGE": 0x200, "SS_RIGHTJUST": 0x400, "SS_REALSIZEIMAGE": 0x800,
    "SS_SUNKEN": 0x1000, "SS_ENDELLIPSIS": 0x4000, "SS_PATHELLIPSIS": 0x8000,
    "SS_WORDELLIPSIS": 0xC000,
}
BS = {
    "BS_PUSHBUTTON": 0x0, "BS_DEFPUSHBUTTON": 0x1, "BS_CHECKBOX": 0x2, "BS_AUTOCHECKBOX": 0x3,
    "BS_RADIOBUTTON": 0x4, "BS_3STATE": 0x5, "BS_AUTO3STATE": 0x6, "BS_GROUPBOX": 0x7,
    "BS_AUTORADIOBUTTON": 0x9, "BS_LEFTTEXT": 0x20, "BS_ICON": 0x40, "BS_BITMAP": 0x80,
    "BS_LEFT": 0x100, "BS_RIGHT": 0x200, "BS_CENTER": 0x300, "BS_TOP": 0x400,
    "BS_BOTTOM": 0x800, "BS_VCENTER": 0xC00, "BS_PUSHLIKE": 0x1000, "BS_MULTILINE": 0x2000,
    "BS_NOTIFY": 0x4000, "BS_FLAT": 0x8000,
}
ES = {
    "ES_LEFT": 0x0, "ES_CENTER": 0x1, "ES_RIGHT": 0x2, "ES_MULTILINE": 0x4,
    "ES_UPPERCASE": 0x8, "ES_LOWERCASE": 0x10, "ES_PASSWORD": 0x20, "ES_AUTOVSCROLL": 0x40,
    "ES_AUTOHSCROLL": 0x80, "ES_NOHIDESEL": 0x100, "ES_OEMCONVERT": 0x400,
    "ES_READONLY": 0x800, "ES_WANTRETURN": 0x1000, "ES_NUMBER": 0x2000,
}
CBS = {
    "CBS_SIMPLE": 0x1, "CBS_DROPDOWN": 0x2, "CBS_DROPDOWNLIST": 0x3,
    "CBS_OWNERDRAWFIXED": 0x10, "CBS_OWNERDRAWVARIABLE": 0x20, "CBS_AUTOHSCROLL": 0x40,
    "CBS_OEMCONVERT": 0x80, "CBS_SORT": 0x100, "CBS_HASSTRINGS": 0x200,
    "CBS_NOINTEGRALHEIGHT": 0x400, "CBS_DISABLENOSCROLL": 0x800, "CBS_UPPERCASE": 0x2000,
    "CBS_LOWERCASE": 0x4000,
}
ACS = {"ACS_CENTER": 0x1, "ACS_TRANSPARENT": 0x2, "ACS_AUTOPLAY": 0x4, "ACS_TIMER": 0x8}
IDS = {"IDOK": 1, "IDCANCEL": 2}
CONSTANTS = {**WS, **DS, **SS, **BS, **ES, **CBS, **ACS, **IDS}

WS_CHILD_VISIBLE = WS["WS_CHILD"] | WS["WS_VISIBLE"]
DIALOG_DEFAULT_STYLE = WS["WS_POPUP"] | WS["WS_BORDER"] | WS["WS_SYSMENU"]

# Statement -> (window class, default style, base style under an explicit one, text first).
STATEMENTS = {
    "LTEXT": ("STATIC", SS["SS_LEFT"] | WS["WS_GROUP"], SS["SS_LEFT"], True),
    "RTEXT": ("STATIC", SS["SS_RIGHT"] | WS["WS_GROUP"], SS["SS_RIGHT"], True),
    "CTEXT": ("STATIC", SS["SS_CENTER"] | WS["WS_GROUP"], SS["SS_CENTER"], True),
    "PUSHBUTTON": ("BUTTON", BS["BS_PUSHBUTTON"] | WS["WS_TABSTOP"],
                   BS["BS_PUSHBUTTON"] | WS["WS_TABSTOP"], True),
    "DEFPUSHBUTTON": ("BUTTON", BS["BS_DEFPUSHBUTTON"] | WS["WS_TABSTOP"],
                      BS["BS_DEFPUSHBUTTON"] | WS["WS_TABSTOP"], True),
    "GROUPBOX": ("BUTTON", BS["BS_GROUPBOX"], BS["BS_GROUPBOX"], True),
    "AUTORADIOBUTTON": ("BUTTON", BS["BS_AUTORADIOBUTTON"] | WS["WS_TABSTOP"],
                        BS["BS_AUTORADIOBUTTON"], True),
    "AUTOCHECKBOX": ("BUTTON", BS["BS_AUTOCHECKBOX"] | WS["WS_TABSTOP"],
                     BS["BS_AUTOCHECKBOX"] | WS["WS_TABSTOP"], True),
    "EDITTEXT": ("EDIT", ES["ES_LEFT"] | WS["WS_BORDER"] | WS["WS_TABSTOP"],
                 ES["ES_LEFT"] | WS["WS_BORDER"] | WS["WS_TABSTOP"], False),
    "COMBOBOX": ("COMBOBOX", CBS["CBS_SIMPLE"] | WS["WS_TABSTOP"], 0, False),
}
# Class names the system predefines; a CONTROL may spell them in any case.
PREDEFINED_CLASSES = {"BUTTON", "STATIC", "EDIT", "COMBOBOX", "LISTBOX", "SCROLLBAR"}


class ScriptError(Exception):
    pass


TOKEN = re.compile(r'''
    (?P<space>[ \t\r\n]+)
  | (?P<comment>//[^\n]*|/\*.*?\*/)
  | (?P<string>"(?:[^"]|"")*")
  | (?P<number>(?:0[xX][0-9A-Fa-f]+|[0-9]+)[LlUu]*)
  | (?P<name>[A-Za-z_][A-Za-z0-9_]*)
  | (?P<punct>[,|()\-])
''', re.S | re.X)


def unquote(token):
    body = token[1:-1].replace('""', '"')
    escapes = {"n": "\n", "t": "\t", "r": "\r", "\\": "\\", '"': '"'}
    return re.sub(r"\\(.)", lambda m: escapes.get(m.group(1), m.group(0)), body)


DEFINE = re.compile(r"#\s*define\s+([A-Za-z_]\w*)\s+\(?\s*(-?(?:0[xX][0-9A-Fa-f]+|\d+))\s*\)?"
                    r"\s*(?://.*)?")
INCLUDE = re.compile(r'#\s*include\s+"([^"]+)"')


def preprocessor_line(stripped, path, line_no, defines):
    """Takes in a `#define NAME number`, and the defines of a file included with quotes (the
    ids header, beside the script); other preprocessor lines are the resource compiler's."""
    m = DEFINE.fullmatch(stripped)
    if m:
        defines[m.group(1)] = int(m.group(2), 0)
    elif re.match(r"#\s*define\b", stripped):
        raise ScriptError(f"{path}:{line_no}: only `#define NAME number` is understood")
    elif INCLUDE.match(stripped):
        header = os.path.join(os.path.dirname(path), INCLUDE.match(stripped).group(1))
        defines.update(read_header(header))


def read_header(path):
    """The names of a header that holds only `#define NAME number` lines and comments."""
    defines = {}
    try:
        text = open(path, encoding="utf-8").read()
    except OSError as e:
        raise ScriptError(f"{path}: {e.strerror}")
    for line_no, line in enumerate(text.split("\n"), 1):
        stripped = line.strip()
        if stripped.startswith("#") and not stripped.startswith("#pragma"):
            preprocessor_line(stripped, path, line_no, defines)
        elif stripped and not stripped.startswith(("//", "#pragma")):
            raise ScriptError(f"{path}:{line_no}: only `#define NAME number` lines are read here")
    return defines


def script_defines(path):
    """The names a resource script defines or includes, for the tools that read it by lines."""
    with open(path, encoding="utf-8") as f:
        return tokenize(f.read(), path)[1]


def tokenize(text, path):
    tokens = []
    defines = {}
    line_no = 0
    for line in text.split("\n"):
        line_no += 1
        stripped = line.strip()
        if stripped.startswith("#"):
            preprocessor_line(stripped, path, line_no, defines)
            tokens.append(("space", "", line_no))
            continue
        pos = 0
        while pos < len(line):
            m = TOKEN.match(line, pos)
            if not m:
                raise ScriptError(f"{path}:{line_no}: cannot read {line[pos:pos + 20]!r}")
            kind = m.lastgroup
            if kind == "comment" and m.group(0).startswith("/*") and not m.group(0).endswith("*/"):
                raise ScriptError(f"{path}:{line_no}: comments spanning lines are not read")
            if kind not in ("space", "comment"):
                tokens.append((kind, m.group(0), line_no))
            pos = m.end()
    return [t for t in tokens if t[0] != "space"], defines


class Parser:
    def __init__(self, text, path):
        self.path = path
        self.tokens, self.defines = tokenize(text, path)
        self.pos = 0

    def error(self, message):
        line = self.tokens[min(self.pos, len(self.tokens) - 1)][2] if self.tokens else 0
        raise ScriptError(f"{self.path}:{line}: {message}")

    def peek(self, offset=0):
        at = self.pos + offset
        return self.tokens[at] if at < len(self.tokens) else ("eof", "", 0)

    def take(self, kind=None, value=None):
        tok = self.peek()
        if (kind and tok[0] != kind) or (value and tok[1].upper() != value):
            self.error(f"expected {value or kind}, found {tok[1] or 'the end'!r}")
        self.pos += 1
        return tok

    def at(self, value):
        tok = self.peek()
        return tok[0] in ("name", "punct") and tok[1].upper() == value

    def comma(self):
        self.take("punct", ",")

    def symbol(self, name):
        if name in self.defines:
            return self.defines[name]
        if name in CONSTANTS:
            return CONSTANTS[name]
        self.error(f"unknown name {name}")

    def primary(self):
        tok = self.take()
        if tok[0] == "number":
            return int(tok[1].rstrip("LlUu"), 0)
        if tok[0] == "name":
            return self.symbol(tok[1])
        if tok[1] == "-":
            return -self.primary()
        if tok[1] == "(":
            value = self.expression()
            self.take("punct", ")")
            return value
        self.pos -= 1
        self.error(f"expected a number or a name, found {tok[1]!r}")

    def expression(self):
        value = self.primary()
        while self.at("|"):
            self.take()
            value |= self.primary()
        return value

    def number(self):
        return self.expression()

    def style(self, start):
        """A style expression applied to `start`, term by term, NOT clearing."""
        value = start
        while True:
            negate = self.at("NOT")
            if negate:
                self.take()
            term = self.primary() & 0xFFFFFFFF
            value = value & ~term if negate else value | term
            if not self.at("|"):
                return value & 0xFFFFFFFF
            self.take()

    def text(self):
        return unquote(self.take("string")[1])

    def parse(self):
        dialogs = []
        while self.peek()[0] != "eof":
            dialogs.append(self.dialog())
        seen = set()
        for d in dialogs:
            if d["id"] in seen:
                raise ScriptError(f"{self.path}: dialog {d['id']} appears twice")
            seen.add(d["id"])
        return dialogs

    def dialog(self):
        dialog_id = self.number()
        kind = self.take("name")[1].upper()
        if kind not in ("DIALOG", "DIALOGEX"):
            self.pos -= 1
            self.error(f"expected DIALOG or DIALOGEX after {dialog_id}")
        x = self.number(); self.comma()
        y = self.number(); self.comma()
        cx = self.number(); self.comma()
        cy = self.number()
        if self.at(","):  # help id of DIALOGEX
            self.take()
            self.number()
        d = {"id": dialog_id, "caption": "", "style": None, "exStyle": 0, "x": x, "y": y,
             "cx": cx, "cy": cy, "fontFace": "", "pointSize": 0, "controls": []}
        extra = 0
        while not self.at("BEGIN"):
            word = self.take("name")[1].upper()
            if word == "STYLE":
                d["style"] = self.style(0)
            elif word == "EXSTYLE":
                d["exStyle"] = self.style(0)
            elif word == "CAPTION":
                d["caption"] = self.text()
                extra |= WS["WS_CAPTION"]
            elif word == "FONT":
                d["pointSize"] = self.number(); self.comma()
                d["fontFace"] = self.text()
                while self.at(","):  # weight, italic, character set
                    self.take()
                    self.number()
                extra |= DS["DS_SETFONT"]
            else:
                self.pos -= 1
                self.error(f"{word} is not read in a dialog header")
        self.take("name", "BEGIN")
        d["style"] = (DIALOG_DEFAULT_STYLE if d["style"] is None else d["style"]) | extra
        while not self.at("END"):
            d["controls"].append(self.control())
        self.take("name", "END")
        ids = [c["id"] for c in d["controls"] if c["id"] != -1]
        for cid in ids:
            if ids.count(cid) > 1:
                raise ScriptError(f"{self.path}: dialog {dialog_id} has control {cid} twice")
        return d

    def control(self):
        word = self.take("name")[1].upper()
        image = 0
        text = ""
        if word == "CONTROL":
            if self.peek()[0] == "string":
                text = self.text()
            else:
                image = self.number()
            self.comma()
            cid = self.number(); self.comma()
            tok = self.take()
            if tok[0] == "string":
                window_class = unquote(tok[1])
            elif tok[0] == "name" and tok[1].upper() in PREDEFINED_CLASSES:
                window_class = tok[1]
            else:
                self.pos -= 1
                self.error("expected a window class")
            if window_class.upper() in PREDEFINED_CLASSES:
                window_class = window_class.upper()
            self.comma()
            style = self.style(WS_CHILD_VISIBLE)
            self.comma()
            x, y, cx, cy = self.rect()
        elif word in STATEMENTS:
            window_class, default, base, text_first = STATEMENTS[word]
            if text_first:
                text = self.text()
                self.comma()
            cid = self.number(); self.comma()
            x, y, cx, cy = self.rect()
            style = default | WS_CHILD_VISIBLE
            if self.at(","):
                self.take()
                style = self.style(base | WS_CHILD_VISIBLE)
        else:
            self.pos -= 1
            self.error(f"the control statement {word} is not read (ICON: use CONTROL with SS_ICON)")
        ex_style = 0
        if self.at(","):
            self.take()
            ex_style = self.style(0)
        control = {"id": cid, "windowClass": window_class, "text": text, "imageId": image,
                   "style": style, "exStyle": ex_style, "x": x, "y": y, "cx": cx, "cy": cy}
        control["kind"] = kind_of(control)
        if image and control["kind"] not in ("Bitmap", "Icon"):
            self.error(f"control {cid} names resource {image} but shows no picture")
        return control

    def rect(self):
        x = self.number(); self.comma()
        y = self.number(); self.comma()
        cx = self.number(); self.comma()
        cy = self.number()
        return x, y, cx, cy


def kind_of(control):
    cls = control["windowClass"].upper()
    style = control["style"]
    if cls == "BUTTON":
        return {0: "PushButton", 1: "PushButton", 2: "CheckBox", 3: "CheckBox", 5: "CheckBox",
                6: "CheckBox", 4: "RadioButton", 9: "RadioButton", 7: "GroupBox"}.get(style & 0xF, "Other")
    if cls == "STATIC":
        kind = style & 0x1F
        if kind == SS["SS_BITMAP"]:
            return "Bitmap"
        if kind == SS["SS_ICON"]:
            return "Icon"
        if kind in (SS["SS_LEFT"], SS["SS_CENTER"], SS["SS_RIGHT"], SS["SS_SIMPLE"],
                    SS["SS_LEFTNOWORDWRAP"]):
            return "Text"
        return "Other"
    return {"EDIT": "Edit", "COMBOBOX": "ComboBox", "LISTBOX": "ListBox",
            "SYSANIMATE32": "Animation"}.get(cls, "Other")


def parse_file(path):
    with open(path, encoding="utf-8") as f:
        return Parser(f.read(), path).parse()


def c16(s):
    # \u escapes take exactly four digits, so a following letter is never swallowed.
    return "".join(f"\\u{ord(ch):04x}" if ord(ch) > 0x7E or ch in '"\\' or ord(ch) < 0x20 else ch
                   for ch in s)


def write_tables(dialogs, out):
    lines = ["// Generated from res/dialogs.rc by tools/gen_dialogs.py. Do not edit.",
             '#include "res/dialog_templates.h"', "", "namespace brc::res {", "namespace {", ""]
    for d in dialogs:
        if not d["controls"]:
            continue
        lines.append(f"const ControlTemplate kControls{d['id']}[] = {{")
        for c in d["controls"]:
            lines.append(
                f"    {{{c['id']}, ControlKind::{c['kind']}, \"{c['windowClass']}\", "
                f"u\"{c16(c['text'])}\", {c['imageId']}, 0x{c['style']:08X}u, "
                f"0x{c['exStyle']:08X}u, {c['x']}, {c['y']}, {c['cx']}, {c['cy']}}},")
        lines.append("};")
        lines.append("")
    for d in dialogs:
        controls = f"kControls{d['id']}" if d["controls"] else "nullptr"
        lines.append(
            f"const DialogTemplate kDialog{d['id']} = {{{d['id']}, u\"{c16(d['caption'])}\", "
            f"0x{d['style']:08X}u, 0x{d['exStyle']:08X}u, {d['x']}, {d['y']}, {d['cx']}, "
            f"{d['cy']}, u\"{c16(d['fontFace'])}\", {d['pointSize']}, {controls}, "
            f"{len(d['controls'])}}};")
    lines += ["", "} // namespace", ""]
    lines.append("extern const DialogTemplate* const kDialogTable[] = {")
    lines += [f"    &kDialog{d['id']}," for d in dialogs]
    lines.append("};")
    lines.append(f"extern const size_t kDialogTableCount = {len(dialogs)};")
    lines += ["", "} // namespace brc::res", ""]
    with open(out, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: gen_dialogs.py dialogs.rc dialog_tables.cpp")
    try:
        dialogs = parse_file(sys.argv[1])
    except ScriptError as e:
        sys.exit(str(e))
    if not dialogs:
        sys.exit(f"{sys.argv[1]}: no dialog")
    write_tables(dialogs, sys.argv[2])


if __name__ == "__main__":
    main()
