#!/usr/bin/env python3
"""Writes the seed card images of process_viking_fuzz into fuzz/seeds/viking: small Viking
cards as the card builder lays them out (one list, three lists) and one with a copyright
text and 3-byte pointers."""
import os


def record(name, blocks, letter=b"@"):
    out = bytearray([len(blocks), 0xC4]) + letter + name.ljust(16).encode()
    total = sum(len(b) for b in blocks)
    for extent in (100, 100, -100, -100):
        out += (extent & 0xFFFF).to_bytes(2, "big")
    out += total.to_bytes(2, "big")
    for k, b in enumerate(blocks):
        out += len(b).to_bytes(2, "big") + bytes([k + 1, 0, 0, 0, 0])
    for b in blocks:
        for dx, dy in b:
            out += bytes([dx & 0xFF, dy & 0xFF])
    return bytes(out)


def design(name, seed):
    return record(name, [[(10 + seed, 10), (5, -5), (-3, 4)], [(20, 0), (0x80, 0x03), (0, 20 + seed)]])


def builder_card(records, k):
    b = bytearray(b"\xff" * 0x1000)
    b[0:6] = bytes([0xC8, 0x80, 0, 0, 0, 0x23])
    per = 35 if k == 1 else 34
    for block in range(k):
        for i in range(34):
            b[6 + 35 * block + i] = 1 if block * per + i < len(records) else 0
        b[40 + 35 * block] = (1 if len(records) == 35 else 0) if k == 1 else k
    p = 6 + 35 * k
    first = 113 if k == 1 else 317
    b[p:p + 2] = (first - p).to_bytes(2, "big")
    b[p + 2:first] = bytes(first - p - 2)
    at = first
    for i, r in enumerate(records):
        b[p + 2 + 2 * i:p + 4 + 2 * i] = len(r).to_bytes(2, "big")
        b[at:at + len(r)] = r
        at += len(r)
    b[at:at + 11] = bytes(11)
    return bytes(b)


def copyright_card(text, records):
    b = bytearray(b"\xff" * 0x1000)
    b[0:5] = bytes([0xC8, 0x07, 0, 0, len(text)])
    b[5:5 + len(text)] = text
    d = 5 + len(text)
    b[d] = ord("#")
    b[d + 1:d + 36] = bytes(35)
    for i in range(len(records)):
        b[d + 1 + i] = ord("x")
    pointers = d + 36
    at = 0x400
    for i, r in enumerate(records):
        b[pointers + 3 * i:pointers + 3 * i + 3] = at.to_bytes(3, "big")
        b[at:at + len(r)] = r
        at += len(r) + 3
    return bytes(b)


def main():
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "seeds", "viking")
    os.makedirs(folder, exist_ok=True)
    cards = {
        "one_list.crd": builder_card([design("ROSE", 0), design("TULIP", 1), design("../up", 2)], 1),
        "three_lists.crd": builder_card([design("D%d" % i, i % 5) for i in range(36)], 3),
        "copyright.crd": copyright_card(b"(C) VIKING", [design("FIRST", 0), record("B", [[(1, 2)]], b"B")]),
    }
    for name, data in cards.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main()
