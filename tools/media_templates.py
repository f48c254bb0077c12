#!/usr/bin/env python3
"""Writes the template files that copies to Viking and EMD media take from data/template:
structural stand-ins of our own making for the machines' own files, which we do not have.
They hold the fields the copy fills or the menu viewer reads and nothing of the machines'
menu graphics. A user who has the genuine files puts them in the "template" folder of the
user data folder, where they are found first.

    tools/media_templates.py [DATA_DIR]
"""
import pathlib
import sys

data = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent / "data")
folder = data / "template"
folder.mkdir(parents=True, exist_ok=True)

# The menu image of a Viking menu file runs from byte 1300 for 27 408 bytes; the copy puts
# the design pictures into it and writes that part back. Ours: the menu's name at 0 and a
# blank image.
MENU_IMAGE_START = 1300
MENU_IMAGE_SIZE = 27408


def put(buffer, offset, text, size):
    raw = text.encode("ascii")[:size]
    buffer[offset:offset + len(raw)] = raw


for menu in range(1, 5):
    mhv = bytearray(MENU_IMAGE_START + MENU_IMAGE_SIZE)
    put(mhv, 0, "MENU_%02d" % menu, 12)
    (folder / ("menu_%02d.mhv" % menu)).write_bytes(bytes(mhv))

# "MENU_SEL.PHV", the disk file: the title (32 bytes at 90), the names of the four menus
# (12 bytes at 478, 672, 866, 1060) and the menu block at 1252 (21 bytes): the menu count
# first, the first menu's number at byte 5.
phv = bytearray(MENU_IMAGE_START)
put(phv, 90, "Velmora II", 32)
for menu, at in enumerate((478, 672, 866, 1060), start=1):
    put(phv, at, "MENU_%02d" % menu, 12)
phv[1252] = 4
phv[1252 + 5] = 1
(folder / "menu_sel.phv").write_bytes(bytes(phv))

# The page files of an EMD disk: five slot descriptions ("2PxT1.inf" ... and "I2PxT1.iif" ...),
# five slot pictures ("T1.img" ...) and the two page-turn pictures. The disk builder copies
# them as they are; ours name their slot and carry blank 64 x 64 one-bit pictures.
for slot in range(1, 6):
    (folder / ("2PxT%d.inf" % slot)).write_bytes(("[Slot]\r\nNumber=%d\r\n" % slot).encode("ascii"))
    (folder / ("I2PxT%d.iif" % slot)).write_bytes(("[Slot]\r\nNumber=%d\r\n" % slot).encode("ascii"))
    (folder / ("T%d.img" % slot)).write_bytes(bytes(512))
(folder / "Pagenext.img").write_bytes(bytes(512))
(folder / "Pageback.img").write_bytes(bytes(512))
