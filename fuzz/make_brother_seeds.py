#!/usr/bin/env python3
"""Writes the seed card images of process_brother_fuzz into fuzz/seeds/brother: small Brother
card images laid out as the card builder lays them out (count record, colour lists,
thumbnails, stitch data), one with thread pictures and codes, one maker's card with a flag
word and no colour lists, one counted by its design list."""
import os

SIZE = 0x8000


class Card:
    def __init__(self):
        self.b = bytearray(b"\xff" * SIZE)
        self.b[0x100:0x10E] = b"brother_sewing"
        self.b[0x110] = 0x5E

    def ptr(self, at, target):
        self.b[at:at + 3] = (0x400000 | target).to_bytes(3, "little")

    def u(self, at, value, n):
        self.b[at:at + n] = value.to_bytes(n, "little")


def design(k):
    # E: flag 0, F0, 200 x 150, E0 01 B0 01, a zero jump, stitches, a change, FF.
    out = bytearray([0, 0, 0, 0, 0xF0, 200, 0, 150, 0, 0xE0, 1, 0xB0, 1, 0x90, 0, 0x90, 0])
    out += bytes([5 + k, 0x7D, 0x80, 0x64, 0x02, 0xFE, 0xB0, 0x02, 0x8F, 0xBA, 0x01, 0x01, 0x00, 0xFF])
    return out


def builder_card(n, threads=False, codes=False):
    c = Card()
    c.ptr(0x157, 0x1300)
    for at in (0x1300, 0x1306):
        c.u(at, n, 3)
        c.u(at + 3, 0, 3)
    c.ptr(0x1000, 0x1100)
    c.ptr(0x1045, 0x1200)
    c.ptr(0x165, 0x2000)
    c.ptr(0x2003, 0x2100)
    c.ptr(0x2006, 0x2200)
    c.ptr(0x4000, 0x4100)
    c.ptr(0x4112, 0x4200)
    c.b[0x4200:0x4203] = bytes([6, 38, 0])
    c.ptr(0x4118, 0x4210)
    c.ptr(0x4115, 0x4240)
    c.ptr(0x4240, 0x4250)
    data = 0x5C00
    for i in range(n):
        c.ptr(0x1100 + 3 * i, data)
        d = design(i)
        c.b[data:data + len(d)] = d
        data += len(d)
        c.b[0x1200 + i] = 1
        c.u(0x2100 + 2 * i, 2 * i, 2)
        c.b[0x2200 + 2 * i:0x2202 + 2 * i] = bytes([2 + i, 20 + i])
        c.b[0x4210 + i] = 0
        frame = bytearray(228)
        for row in (1, 36):
            frame[6 * row:6 * row + 6] = bytes([0xF0, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F])
        for row in range(2, 36):
            frame[6 * row] = 0x02
            frame[6 * row + 5] = 0x40
        c.b[0x4400 + 228 * i:0x4400 + 228 * (i + 1)] = frame
        c.ptr(0x4250 + 3 * i, 0x4400 + 228 * i)
    c.u(0x4250 + 3 * n, 0, 3)
    c.u(0x1100 + 3 * n, 0xFFFFFF, 3)
    if threads:
        c.ptr(0x192, 0x2400)
        c.ptr(0x2400, 0x7000)
        c.ptr(0x2406, 0x2500)
        for k in range(2 * n):
            c.b[0x7000 + 0x90 * k:0x7000 + 0x90 * (k + 1)] = bytes(0x90)
            c.b[0x2500 + 3 * k:0x2503 + 3 * k] = bytes([10 * k, 100, 200])
    if codes:
        c.ptr(0x196, 0x2600)
        for k in range(2 * n):
            c.b[0x2600 + 3 * k:0x2603 + 3 * k] = bytes([0x0C, k, 0])
    return c


def main():
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "seeds", "brother")
    os.makedirs(folder, exist_ok=True)
    seeds = {
        "builder3.crd": builder_card(3),
        "threads2.crd": builder_card(2, threads=True),
        "codes2.crd": builder_card(2, threads=True, codes=True),
    }
    maker = builder_card(2)
    maker.u(0x157, 0xFFFFFF, 3)  # counted by the design list
    maker.u(0x165, 0xFFFFFF, 3)  # no colour lists: the built-in lists by letter
    maker.b[0x110] = ord("A")
    maker.b[0xF9] = ord("4")
    maker.b[0x5C02] = 1  # flag word: stitches from E + 0xE
    seeds["maker2.crd"] = maker
    selfcount = builder_card(2)
    selfcount.ptr(0x157, 0x157)
    selfcount.ptr(0xA1, 0x3010)
    selfcount.u(0x300A, 2, 2)
    seeds["selfcount2.crd"] = selfcount
    for name, card in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(card.b)


if __name__ == "__main__":
    main()
