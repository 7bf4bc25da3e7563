#!/usr/bin/env python3
"""Draws the program's pictures and lists them for the resource compiler.

    gen_pictures.py OUTPUT_DIR

Writes into OUTPUT_DIR the icon (16, 32 and 48 pixels), the card bitmaps, the animation of the
main dialog and pictures.rc, the resource lines that name them (res/program.rc includes it), with
the ids that res/resource_ids.h gives their names. Standard library only: the files are assembled
byte by byte.

The card bitmaps are 84 x 98 pixels, the size of the picture statics of dialog 102 (56 x 60
dialog units of an 8-point MS Shell Dlg dialog at 96 dots per inch): a white tile with a grey
frame, like the white panel beside it, holding the card. The animation's frames are white too,
as they play on that panel.
"""
import math
import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen_dialogs  # noqa: E402

RESOURCE_IDS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "res",
                            "resource_ids.h")

SUPERSAMPLE = 4

WHITE = (255, 255, 255, 255)
CLEAR = (255, 255, 255, 0)
FRAME_GREY = (128, 128, 128, 255)
BODY = (58, 68, 84, 255)
BODY_EDGE = (34, 40, 50, 255)
RIDGE = (86, 98, 116, 255)
SWITCH = (214, 218, 224, 255)
INK = (255, 255, 255, 255)

# 5 x 7 glyphs of the marks, '#' inked.
GLYPHS = {
    "S": [".###.", "#...#", "#....", ".###.", "....#", "#...#", ".###."],
    "D": ["####.", "#...#", "#...#", "#...#", "#...#", "#...#", "####."],
    "H": ["#...#", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"],
    "C": [".###.", "#...#", "#....", "#....", "#....", "#...#", ".###."],
    "X": ["#...#", "#...#", ".#.#.", "..#..", ".#.#.", "#...#", "#...#"],
    "?": [".###.", "#...#", "....#", "...#.", "..#..", ".....", "..#.."],
}


# Shapes are predicates over a point (x, y) in pixels; a scene is a list of (shape, colour)
# layers, the last one on top.

def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x < x1 and y0 <= y < y1


def rounded(x0, y0, x1, y1, r):
    def inside(x, y):
        if not (x0 <= x < x1 and y0 <= y < y1):
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def card_shape(x0, y0, x1, y1, r, chamfer):
    """A memory card seen from the front: rounded corners, the top right corner cut off."""
    body = rounded(x0, y0, x1, y1, r)
    return lambda x, y: body(x, y) and (x1 - x) + (y - y0) >= chamfer


def inset(shape_fn, d):
    """The points at least d inside a shape (checked at eight neighbours, enough for a rim)."""
    steps = [(d * math.cos(a * math.pi / 4), d * math.sin(a * math.pi / 4)) for a in range(8)]
    return lambda x, y: shape_fn(x, y) and all(shape_fn(x + dx, y + dy) for dx, dy in steps)


def text_shape(text, x0, y0, scale, gap=1):
    """The glyphs of `text`, each font pixel a square of `scale` pixels."""
    def inside(x, y):
        col = int((x - x0) // scale)
        row = int((y - y0) // scale)
        if x < x0 or y < y0 or not 0 <= row < 7:
            return False
        index, cell = divmod(col, 5 + gap)
        if index >= len(text) or cell >= 5:
            return False
        return GLYPHS[text[index]][row][cell] == "#"
    return inside


def text_width(text, scale, gap=1):
    return len(text) * 5 * scale + (len(text) - 1) * gap * scale


def stripes(x0, y0, x1, y1, period, phase=0.0):
    """Wavy slanted bands, the brindle of the program's emblem."""
    def inside(x, y):
        u = (x - x0) / (x1 - x0)
        v = (y - y0) / (y1 - y0)
        t = (u * 1.1 + v * 0.55 + 0.08 * math.sin(v * 9.0 + u * 3.0) + phase) * period
        return (t - math.floor(t)) < 0.38
    return inside


def render(width, height, layers, background):
    """Colours of a scene, anti-aliased: a pixel whose corners and centre see the same layer
    takes its colour; any other pixel averages SUPERSAMPLE x SUPERSAMPLE samples."""
    def top(x, y):
        for index in range(len(layers) - 1, -1, -1):
            if layers[index][0](x, y):
                return index
        return -1

    def colour(index):
        return background if index < 0 else layers[index][1]

    pixels = []
    for py in range(height):
        row = []
        for px in range(width):
            probes = {top(px + 0.01, py + 0.01), top(px + 0.99, py + 0.01),
                      top(px + 0.01, py + 0.99), top(px + 0.99, py + 0.99),
                      top(px + 0.5, py + 0.5)}
            if len(probes) == 1:
                row.append(colour(probes.pop()))
                continue
            acc = [0.0, 0.0, 0.0, 0.0]
            n = SUPERSAMPLE * SUPERSAMPLE
            for sy in range(SUPERSAMPLE):
                for sx in range(SUPERSAMPLE):
                    c = colour(top(px + (sx + 0.5) / SUPERSAMPLE, py + (sy + 0.5) / SUPERSAMPLE))
                    a = c[3] / 255.0
                    acc[0] += c[0] * a
                    acc[1] += c[1] * a
                    acc[2] += c[2] * a
                    acc[3] += a
            if acc[3] == 0:
                row.append(CLEAR)
            else:
                row.append((round(acc[0] / acc[3]), round(acc[1] / acc[3]), round(acc[2] / acc[3]),
                            round(255 * acc[3] / n)))
        pixels.append(row)
    return pixels


# --- the drawings ---------------------------------------------------------------------------

TILE_W, TILE_H = 84, 98
CARD_W, CARD_H = 60, 80


def card_layers(x0, y0, w, h, label_colour, marks=(), body=BODY, edge=BODY_EDGE):
    """A card at (x0, y0) of w x h pixels: body with a darker rim, grip ridges along the top,
    the write-protect switch on the left edge and a label carrying up to two lines of marks
    (text, scale)."""
    x1, y1 = x0 + w, y0 + h
    r = max(2.0, w / 15)
    chamfer = w / 5
    outline = card_shape(x0, y0, x1, y1, r, chamfer)
    layers = [(outline, edge), (inset(outline, max(1.0, w / 40)), body)]
    ridge_w = max(1.0, w / 30)
    for i in range(5):
        rx = x0 + w * 0.16 + i * w * 0.1
        layers.append((rect(rx, y0 + h * 0.05, rx + ridge_w, y0 + h * 0.2), RIDGE))
    layers.append((rect(x0 - 0.5, y0 + h * 0.3, x0 + w * 0.06, y0 + h * 0.44), SWITCH))
    lx0, ly0, lx1, ly1 = x0 + w * 0.1, y0 + h * 0.27, x1 - w * 0.1, y1 - h * 0.07
    if label_colour:
        layers.append((rounded(lx0, ly0, lx1, ly1, max(1.5, w / 25)), label_colour))
    if marks:
        heights = [7 * scale for _, scale in marks]
        spacing = max(2, round(h / 20))
        y = round((ly0 + ly1) / 2 - (sum(heights) + spacing * (len(marks) - 1)) / 2)
        for (text, scale), line_height in zip(marks, heights):
            x = round((lx0 + lx1) / 2 - text_width(text, scale) / 2)
            layers.append((text_shape(text, x, y, scale), INK))
            y += line_height + spacing
    return layers


def tile(layers_inside):
    frame = rect(0, 0, TILE_W, TILE_H)
    face = rect(1, 1, TILE_W - 1, TILE_H - 1)
    return render(TILE_W, TILE_H, [(frame, FRAME_GREY), (face, WHITE)] + layers_inside, WHITE)


def card_tile(label_colour, marks=(), body=BODY, edge=BODY_EDGE):
    x0 = (TILE_W - CARD_W) // 2
    y0 = (TILE_H - CARD_H) // 2
    return tile(card_layers(x0, y0, CARD_W, CARD_H, label_colour, marks, body, edge))


def empty_slot_tile():
    """No card: its place, a dashed grey outline on a pale ground."""
    x0 = (TILE_W - CARD_W) // 2
    y0 = (TILE_H - CARD_H) // 2
    outline = card_shape(x0, y0, x0 + CARD_W, y0 + CARD_H, 4, CARD_W / 5)
    hollow = inset(outline, 1.5)
    dashes = lambda x, y: (int(x + y) // 5) % 2 == 0
    return tile([(outline, (190, 190, 190, 255)),
                 (lambda x, y: hollow(x, y) or (outline(x, y) and not dashes(x, y)),
                  (244, 244, 244, 255))])


BRINDLE_BODY = (150, 98, 52, 255)
BRINDLE_EDGE = (92, 56, 26, 255)
BRINDLE_STRIPE = (74, 44, 20, 255)


def emblem_layers(x0, y0, w, h, period):
    """The program's emblem: a card in a brindle coat, brown with darker wavy stripes."""
    x1, y1 = x0 + w, y0 + h
    r = max(1.0, w / 12)
    outline = card_shape(x0, y0, x1, y1, r, w / 4)
    body = inset(outline, max(0.75, w / 30))
    band = stripes(x0, y0, x1, y1, period)
    layers = [(outline, BRINDLE_EDGE), (body, BRINDLE_BODY),
              (lambda x, y: body(x, y) and band(x, y), BRINDLE_STRIPE)]
    if w >= 24:
        layers.append((rect(x0 - 0.5, y0 + h * 0.3, x0 + w * 0.07, y0 + h * 0.44), SWITCH))
    return layers


def emblem_tile():
    x0 = (TILE_W - CARD_W) // 2
    y0 = (TILE_H - CARD_H) // 2
    return tile(emblem_layers(x0, y0, CARD_W, CARD_H, 4.0))


def icon_image(size):
    w = size * 0.75
    h = size * 0.94
    x0 = (size - w) / 2
    y0 = (size - h) / 2
    period = 2.0 if size <= 16 else 3.0 if size <= 32 else 4.0
    return render(size, size, emblem_layers(x0, y0, w, h, period), CLEAR)


ANIM_SIZE = 48
ANIM_FRAMES = 12


def animation_frame(index):
    """A card with a light sweeping across it, left to right, once per loop."""
    w, h = 30, 40
    x0 = (ANIM_SIZE - w) / 2
    y0 = (ANIM_SIZE - h) / 2
    layers = card_layers(x0, y0, w, h, (200, 208, 220, 255))
    card = card_shape(x0, y0, x0 + w, y0 + h, 2.0, w / 5)
    face = inset(card, 2.0)
    # The band runs from fully left of the card to fully right of it over the loop.
    centre = -h * 0.5 + (w + h) * index / (ANIM_FRAMES - 1)
    band = lambda x, y: abs((x - x0) + (y - y0) * 0.5 - centre - h * 0.25) < 5
    layers.append((lambda x, y: card(x, y) and band(x, y) and not face(x, y), (150, 190, 240, 255)))
    layers.append((lambda x, y: face(x, y) and band(x, y), (236, 242, 250, 255)))
    return render(ANIM_SIZE, ANIM_SIZE, layers, WHITE)


# --- file formats ---------------------------------------------------------------------------

def bmp_24(pixels):
    height, width = len(pixels), len(pixels[0])
    stride = (width * 3 + 3) & ~3
    rows = []
    for row in reversed(pixels):  # bottom-up
        line = bytearray()
        for r, g, b, _ in row:
            line += bytes((b, g, r))
        line += bytes(stride - len(line))
        rows.append(bytes(line))
    image = b"".join(rows)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(image), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(image), 0, 0, 14 + len(info))
    return header + info + image


def ico(images):
    """An icon file of 32-bit images with alpha, each with its AND mask."""
    entries = []
    blobs = []
    offset = 6 + 16 * len(images)
    for pixels in images:
        size = len(pixels)
        xor = bytearray()
        for row in reversed(pixels):
            for r, g, b, a in row:
                xor += bytes((b, g, r, a))
        mask_stride = ((size + 31) // 32) * 4
        mask = bytearray()
        for row in reversed(pixels):
            bits = bytearray(mask_stride)
            for x, (_, _, _, a) in enumerate(row):
                if a == 0:
                    bits[x // 8] |= 0x80 >> (x % 8)
            mask += bits
        info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(mask),
                           0, 0, 0, 0)
        blob = info + bytes(xor) + bytes(mask)
        entries.append(struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(blob),
                                   offset))
        blobs.append(blob)
        offset += len(blob)
    return struct.pack("<HHH", 0, 1, len(images)) + b"".join(entries) + b"".join(blobs)


def palette_of(frames):
    """One palette of at most 256 colours for all frames: the colours used, rounded coarser
    until they fit."""
    step = 1
    while True:
        colours = sorted({tuple((c // step) * step for c in px[:3])
                          for frame in frames for row in frame for px in row})
        if len(colours) <= 256:
            return colours, step
        step *= 2


def avi_8bit(frames, fps):
    """An uncompressed 8-bit AVI with one video stream and an index, as the animation control
    plays it: RIFF 'AVI ' holding LIST 'hdrl' (avih, LIST 'strl' with strh and strf), LIST
    'movi' with one '00db' chunk per frame, and idx1."""
    height, width = len(frames[0]), len(frames[0][0])
    palette, step = palette_of(frames)
    index_of = {c: i for i, c in enumerate(palette)}
    stride = (width + 3) & ~3
    frame_bytes = stride * height
    chunks = []
    for frame in frames:
        data = bytearray()
        for row in reversed(frame):
            line = bytes(index_of[tuple((c // step) * step for c in px[:3])] for px in row)
            data += line + bytes(stride - width)
        chunks.append(bytes(data))

    def chunk(fourcc, payload):
        pad = b"\0" if len(payload) % 2 else b""
        return fourcc + struct.pack("<I", len(payload)) + payload + pad

    def riff_list(kind, fourcc, payload):
        return kind + struct.pack("<I", len(payload) + 4) + fourcc + payload

    n = len(frames)
    avih = struct.pack("<IIIIIIIIII4I", 1000000 // fps, frame_bytes * fps, 0, 0x10, n, 0, 1,
                       frame_bytes, width, height, 0, 0, 0, 0)
    strh = struct.pack("<4s4sIHHIIIIIIIIhhhh", b"vids", b"DIB ", 0, 0, 0, 0, 1, fps, 0, n,
                       frame_bytes, 0xFFFFFFFF, 0, 0, 0, width, height)
    bih = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, 0, frame_bytes, 0, 0,
                      len(palette), len(palette))
    rgbquads = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    strl = riff_list(b"LIST", b"strl", chunk(b"strh", strh) + chunk(b"strf", bih + rgbquads))
    hdrl = riff_list(b"LIST", b"hdrl", chunk(b"avih", avih) + strl)
    movi_body = b""
    index = b""
    for data in chunks:
        # idx1 offsets count from the 'movi' fourcc.
        index += struct.pack("<4sIII", b"00db", 0x10, 4 + len(movi_body), len(data))
        movi_body += chunk(b"00db", data)
    movi = riff_list(b"LIST", b"movi", movi_body)
    return riff_list(b"RIFF", b"AVI ", hdrl + movi + chunk(b"idx1", index))


# --- what the program looks up --------------------------------------------------------------

BLUE = (37, 99, 176, 255)
GREEN = (40, 128, 64, 255)
RED = (176, 58, 46, 255)
PLAIN = (200, 205, 212, 255)
QUERY = (128, 138, 156, 255)

BITMAPS = [
    # id (its name in the ids header), file, drawing
    ("IDB_EMBLEM", "emblem.bmp", emblem_tile),
    ("IDB_CARD_SD", "card_sd.bmp", lambda: card_tile(BLUE, [("SD", 3)])),
    ("IDB_CARD_SDHC", "card_sdhc.bmp", lambda: card_tile(GREEN, [("SD", 3), ("HC", 2)])),
    ("IDB_CARD_SDXC", "card_sdxc.bmp", lambda: card_tile(RED, [("SD", 3), ("XC", 2)])),
    ("IDB_CARD_UNKNOWN", "card_unknown.bmp", lambda: card_tile(QUERY, [("?", 4)])),
    ("IDB_SLOT_EMPTY", "slot_empty.bmp", empty_slot_tile),
    ("IDB_CARD_PLAIN", "card_plain.bmp", lambda: card_tile(PLAIN)),
]
ICON_ID, ICON_FILE, ICON_SIZES = "IDI_BRINDLECARD", "brindlecard.ico", (16, 32, 48)
ANIMATION_ID, ANIMATION_FILE, ANIMATION_FPS = "IDR_BUSY_ANIMATION", "card_busy.avi", 10


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: gen_pictures.py OUTPUT_DIR")
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    try:
        ids = gen_dialogs.read_header(RESOURCE_IDS)
    except gen_dialogs.ScriptError as e:
        sys.exit(str(e))

    def write(name, data):
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)

    lines = ["// Generated by tools/gen_pictures.py. Do not edit.",
             "// The pictures the program looks up; the files lie beside this one."]
    write(ICON_FILE, ico([icon_image(size) for size in ICON_SIZES]))
    lines.append(f'{ids[ICON_ID]} ICON "{ICON_FILE}"')
    for rid, name, draw in BITMAPS:
        write(name, bmp_24(draw()))
        lines.append(f'{ids[rid]} BITMAP "{name}"')
    write(ANIMATION_FILE, avi_8bit([animation_frame(i) for i in range(ANIM_FRAMES)], ANIMATION_FPS))
    lines.append(f'{ids[ANIMATION_ID]} AVI "{ANIMATION_FILE}"')
    # Written last: the build takes this file as the sign that every picture is there.
    with open(os.path.join(out, "pictures.rc"), "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
