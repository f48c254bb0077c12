#!/usr/bin/env python3
"""Writes the Janome card data files that ship in data/: structural stand-ins of our own
making for the machines' own files, which we do not have. They have the sizes the builders
read and every field the builders and readers rely on, and nothing of the machines'
programs or menu graphics. A user who has the genuine files puts them in the user data
folder (or takes them from a card with `velmora card templates`), where they are found first.

    tools/janome_data.py [DATA_DIR]
"""
import pathlib
import sys

data = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent / "data")

# janome.bin: the first 75 318 bytes of a Janome 9000 card. The builder writes the header
# and the tables over it; what it takes from here is the size of each of the 48 menu
# thumbnails at 0x628A + 194 i (width in bytes, height): 6 x 32, a 48 x 32 picture.
janome = bytearray(75318)
for i in range(48):
    at = 0x628A + 194 * i
    janome[at] = 6
    janome[at + 1] = 32
(data / "janome.bin").write_bytes(bytes(janome))

# 8000ctrl.bin: 544 bytes for card offset 0x2000, then 4096 for 0x12000. The builder patches
# the list offsets into the first part and writes the attribute table at 0x12900 in the
# second. What the readers rely on: the first 16 bytes zero (with the card's 0xFF start they
# mark an 8000 card), the byte at 0x2100 zero (designs are groups of patterns, not one
# pattern each), and "JANOME CARD EXP " at 0x128E0 (the group tables stand at 0x12900).
control = bytearray(544 + 4096)
text = b"JANOME CARD EXP "
control[544 + 0x8E0:544 + 0x8E0 + len(text)] = text
(data / "8000ctrl.bin").write_bytes(bytes(control))

# 8000bmp.bin: the menu bitmaps, placed right after the glyph records. The lists point into
# it by offsets below 4096: the characters at 12 x their code and the colour-page frames at
# 3623 + 8 t. Ours: 3712 bytes, each 12-byte character cell marked with its code.
bitmaps = bytearray(3712)
for code in range(3712 // 12):
    bitmaps[12 * code] = code & 0xFF
(data / "8000bmp.bin").write_bytes(bytes(bitmaps))

# snsglyph.bin: the 13 colour-number glyphs of the Scan 'n Sew menu screens, 8 x 33 pixels
# each, one byte per row. Ours: a frame with the number's bits in the middle rows.
glyphs = bytearray()
for number in range(13):
    rows = [0x7E] + [0x42] * 31 + [0x7E]
    for bit in range(4):
        if number & (1 << bit):
            rows[8 + 5 * bit] = rows[9 + 5 * bit] = 0x5A
    glyphs += bytes(rows)
(data / "snsglyph.bin").write_bytes(bytes(glyphs))

# 8000lists.bin: the display-list templates of the Janome 8000 menu. Each is a header word
# (low byte: entries; high byte 0xF8 for the lists that keep base 0, else 0xDC), a second
# word and its entries of three words; entries' middle words up to 4096 point into the menu
# bitmaps and are moved by their place on the card. In order: the first index's 39 fixed
# templates (19 of five entries, 7 of four, 8 of four with base 0, 4 of five, 1 of four with
# base 0: 1074 bytes of lists), the second index's own three (78 bytes), and the size list
# of six entries whose entries 1 to 4 the builder fills with digits. Ours: each entry
# (0x0C01, a cell of the bitmaps or a place above 0x5000 for base 0, a screen address).
def template(number, entries, base_zero):
    words = [(0xF800 if base_zero else 0xDC00) | entries, 0]
    for e in range(entries):
        item = number * 8 + e
        words += [0x0C01, 0x5000 + 8 * item if base_zero else 8 * item, 0x4000 + 4 * e]
    return words

words = []
number = 0
for count, entries, base_zero in ((19, 5, False), (7, 4, False), (8, 4, True), (4, 5, False), (1, 4, True)):
    for _ in range(count):
        words += template(number, entries, base_zero)
        number += 1
for number, entries in ((40, 5), (41, 4), (42, 4)):
    words += template(number, entries, False)
words += [0xDC06, 0]
for k, middle in enumerate((0x0100, 0, 0, 0, 0, 0x0108)):
    words += [0x0C01, middle, 0x4300 + 4 * k]
(data / "8000lists.bin").write_bytes(b"".join(w.to_bytes(2, "little") for w in words))

# 8000glyph.bin: the glyph records (24 bytes) that name each thread colour 0 to 79 on the
# colour pages: a count byte, then two records. Ours: one record per colour and a second
# from number 50 on, each holding the number, the line and a pattern of them.
glyph_table = bytearray()
for number in range(80):
    lines = 2 if number >= 50 else 1
    glyph_table.append(lines)
    for line in range(2):
        record = bytearray(24)
        if line < lines:
            record[0] = number
            record[1] = line
            for k in range(2, 24):
                record[k] = (number * 37 + k * 11 + line) & 0xFF
        glyph_table += record
(data / "8000glyph.bin").write_bytes(bytes(glyph_table))
