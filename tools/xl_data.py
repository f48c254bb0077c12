#!/usr/bin/env python3
"""Writes the Singer XL card data files that ship in data/: structural stand-ins of our own
making for the machines' own files, which we do not have. They have the sizes the XL100 and
XL1000 builders read and every field the builders and readers rely on, and nothing of the
machines' menus or pictures. A user who has the genuine files puts them in the user data
folder (or takes them from a card with `velmora card templates --make xl100|xl1000`), where
they are found first.

    tools/xl_data.py [DATA_DIR]
"""
import pathlib
import sys

data = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent / "data")

# xl100.bin: 4370 bytes the XL100 builder copies behind its page tables. Neither the builder
# nor the reader looks into them; ours are zeros.
(data / "xl100.bin").write_bytes(bytes(4370))

# xl100page.bin: the 54-byte page record, three designs to a page. The reader counts a page's
# designs as one more than the largest byte of the record's first 18 that is not "d" (0x64);
# the builder sets the words at 6 and 12 of the last page to "dd" for an unused third slot,
# and those at 8 and 14 as well for an unused second. Ours: 2 in the third slot's words, 1 in
# the second's, zeros elsewhere.
page = bytearray(54)
page[6:8] = page[12:14] = b"\x02\x02"
page[8:10] = page[14:16] = b"\x01\x01"
(data / "xl100page.bin").write_bytes(bytes(page))

# xl1000.bin: 256 bytes for card offset 0, 8448 for 0x10000, 1536 for 0x15000 and 256 for
# 0x20000, one after another. What the readers and the builder rely on: "BUG" and a zero byte
# at 0x60 (an XL1000 card), and the directory at 0x20004: 32-byte entries whose first three
# bytes say where design i goes (0x30000 + 0x10000 i for the first five, 0x100 for the sixth,
# which has the 65 280 bytes before 0x10000), bytes 3 and 4 zero until the builder writes
# the design's size there (so unused entries end the directory), and after the sixth an
# entry at FF FF FF that ends it in any case.
head = bytearray(256)
head[0x60:0x64] = b"BUG\x00"
directory = bytearray(256)
for i, at in enumerate([0x30000, 0x40000, 0x50000, 0x60000, 0x70000, 0x000100]):
    directory[4 + 32 * i:7 + 32 * i] = at.to_bytes(3, "big")
directory[4 + 32 * 6:7 + 32 * 6] = b"\xFF\xFF\xFF"
(data / "xl1000.bin").write_bytes(bytes(head) + bytes(8448) + bytes(1536) + bytes(directory))
