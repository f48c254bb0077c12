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
