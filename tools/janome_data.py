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
