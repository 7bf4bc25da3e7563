#!/usr/bin/env python3
"""Checks the translation tables and the language libraries built from them.

    check_languages.py WINDRES RES_DIR TABLE... -- INCLUDE_DIR...

For every table (res/lang/*.txt): each message of res/strings.rc is translated once, from the
original as it stands now (an entry whose original has changed is stale), with the same printf
conversions and the same blanks at either end; each text written in the dialog templates is
translated; no translation keeps a Cyrillic letter.

For every table that makes a library (all but the command line's English one), the script that
tools/gen_language.py writes is compiled with windres and compared with the program's own
resources: every string id, every dialog with the same controls (ids, classes, styles,
pictures) inside the dialog's bounds, and the icon, bitmaps and animation, byte for byte.

Exits 1 on any difference. Without windres the compiled half is skipped and said so.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_resources as cr  # noqa: E402
import gen_dialogs  # noqa: E402
import gen_language  # noqa: E402
import gen_strings  # noqa: E402

CONVERSION = re.compile(r"%[-+ #0]*(?:\d+|\*)?(?:\.(?:\d+|\*))?(?:hh|h|ll|l|z|j|t|L)?[diouxXeEfgGcspn%]")
CYRILLIC = re.compile(r"[\u0400-\u04FF]")
COMMAND_LINE_ONLY = {"ENU"}
PICTURES = [(cr.RT_GROUP_ICON, 128), (cr.RT_BITMAP, 144)] + \
    [(cr.RT_BITMAP, n) for n in range(147, 153)] + [("AVI", 153)]

problems = []


def ends(text):
    """The blanks and line breaks at either end of a text."""
    return (text[:len(text) - len(text.lstrip())], text[len(text.rstrip()):])


def same_shape(where, original, translation):
    if CONVERSION.findall(original) != CONVERSION.findall(translation):
        problems.append(f"{where}: conversions {CONVERSION.findall(translation)}, the original "
                        f"has {CONVERSION.findall(original)}")
    if ends(original) != ends(translation):
        problems.append(f"{where}: blanks at the ends {ends(translation)!r}, the original has "
                        f"{ends(original)!r}")


def template_texts(dialogs_rc):
    """The texts written in the dialog templates that are in the system's language."""
    texts = set()
    for d in gen_dialogs.parse_file(dialogs_rc):
        texts.add(d["caption"])
        texts.update(c["text"] for c in d["controls"])
    return {t for t in texts if CYRILLIC.search(t)}


def check_table(table, originals, texts):
    name = os.path.basename(table.path)
    problems.extend(f"{name}: {f}" for f in table.faults)
    for sid, (text, _) in sorted(originals.items()):
        if sid not in table.strings:
            problems.append(f"{name}: message {sid} is not translated")
            continue
        ru, tr, _ = table.strings[sid]
        if ru != text:
            problems.append(f"{name}: message {sid} was translated from {ru!r}; the original is "
                            f"now {text!r}")
        same_shape(f"{name}: message {sid}", text, tr)
        if CYRILLIC.search(tr):
            problems.append(f"{name}: message {sid} still has Cyrillic text: {tr!r}")
    for sid in sorted(set(table.strings) - set(originals)):
        problems.append(f"{name}: message {sid} is not in the program's table")
    if table.tag in COMMAND_LINE_ONLY:
        return
    for text in sorted(texts - set(table.texts)):
        problems.append(f"{name}: dialog text {text!r} is not translated")
    for text, (tr, _) in table.texts.items():
        if text not in texts:
            problems.append(f"{name}: dialog text {text!r} is not in the templates")
        if CYRILLIC.search(tr):
            problems.append(f"{name}: dialog text {text!r} still has Cyrillic text")


def compare_library(tag, program, library):
    where = f"library {tag}"
    mine, theirs = cr.compiled_strings(program), cr.compiled_strings(library)
    for sid, text in sorted(mine.items()):
        if sid not in theirs:
            problems.append(f"{where}: no string {sid}")
        else:
            same_shape(f"{where}: string {sid}", text, theirs[sid])
    for rid in cr.LOOKED_UP[cr.RT_DIALOG]:
        ours, body = cr.by_id(program, cr.RT_DIALOG, rid), cr.by_id(library, cr.RT_DIALOG, rid)
        if body is None:
            problems.append(f"{where}: no dialog {rid}")
            continue
        a, b = cr.dialog(ours), cr.dialog(body)
        for f in ("style", "exStyle"):
            if a[f] != b[f]:
                problems.append(f"{where}: dialog {rid} {f} differs")
        if [c["id"] for c in a["controls"]] != [c["id"] for c in b["controls"]]:
            problems.append(f"{where}: dialog {rid} has controls {[c['id'] for c in b['controls']]}, "
                            f"the program {[c['id'] for c in a['controls']]}")
            continue
        for p, q in zip(a["controls"], b["controls"]):
            for f in ("windowClass", "imageId", "style", "exStyle"):
                if p[f] != q[f]:
                    problems.append(f"{where}: dialog {rid} control {p['id']}: {f} differs")
            if p["text"] and not q["text"]:
                problems.append(f"{where}: dialog {rid} control {p['id']} lost its text")
            if q["x"] < 0 or q["y"] < 0 or q["x"] + q["cx"] > b["cx"] or (
                    q["y"] + q["cy"] > b["cy"] and q["windowClass"] != "COMBOBOX"):
                problems.append(f"{where}: dialog {rid} control {p['id']} lies outside the dialog")
    for rtype, rid in PICTURES:
        ours, body = cr.by_id(program, rtype, rid), cr.by_id(library, rtype, rid)
        if body is None:
            problems.append(f"{where}: no picture {rtype}/{rid}")
        elif body != ours:
            problems.append(f"{where}: picture {rtype}/{rid} differs from the program's")


def compile_rc(windres, rc, includes, out):
    run = subprocess.run([windres, "-O", "res"] + [f"-I{d}" for d in includes] + [rc, out],
                         capture_output=True, text=True)
    if run.returncode != 0:
        problems.append(f"windres failed on {os.path.basename(rc)}:\n{run.stderr}")
        return None
    with open(out, "rb") as f:
        return cr.resources(f.read())


def main():
    if "--" not in sys.argv or len(sys.argv) < 5:
        sys.exit(__doc__)
    split = sys.argv.index("--")
    windres, res_dir, paths = sys.argv[1], sys.argv[2], sys.argv[3:split]
    includes = [res_dir] + sys.argv[split + 1:]
    strings_rc, dialogs_rc = os.path.join(res_dir, "strings.rc"), os.path.join(res_dir, "dialogs.rc")
    originals, texts = gen_strings.read_string_table(strings_rc), template_texts(dialogs_rc)
    tables = [gen_language.read_table(p) for p in paths]
    for t in tables:
        check_table(t, originals, texts)
    compiled = "skipped: no windres"
    if windres and shutil.which(windres):
        with tempfile.TemporaryDirectory() as tmp:
            program = compile_rc(windres, os.path.join(res_dir, "program.rc"), includes,
                                 os.path.join(tmp, "program.res"))
            for t in tables:
                if program is None or t.tag in COMMAND_LINE_ONLY:
                    continue
                rc = os.path.join(tmp, f"{t.tag}.rc")
                gen_language.write_rc(t, strings_rc, dialogs_rc, rc)
                library = compile_rc(windres, rc, includes, os.path.join(tmp, f"{t.tag}.res"))
                if library is not None:
                    compare_library(t.tag, program, library)
        compiled = "libraries compiled and compared with the program's resources"
    for p in problems:
        print(p)
    if problems:
        print(f"check_languages: {len(problems)} problem(s)")
        return 1
    print(f"check_languages: {len(tables)} tables complete; {compiled}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
