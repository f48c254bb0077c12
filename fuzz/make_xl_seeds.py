#!/usr/bin/env python3
"""Writes the seeds of process_xl_fuzz (fuzz/seeds/xl) from XL100 and XL1000 images built by
`velmora card image --make xl100|xl1000 --type 29F040`:

    fuzz/make_xl_seeds.py XL100_IMAGE XL1000_IMAGE [SEED_DIR]

The XL100 seed is the used part of its image, which the fuzz target reads as it stands. The
fuzz target puts its input at 0x20000 of the image it gives the XL1000 reader, so the XL1000
seeds are the directory (256 bytes from 0x20000) and the designs' streams behind it, the
directory's offsets moved to match: once plain, and once compressed with the prefix code (a
Huffman tree sent as its preorder walk, then each byte's path).
"""
import heapq
import itertools
import pathlib
import sys

xl100 = pathlib.Path(sys.argv[1]).read_bytes()
xl1000 = pathlib.Path(sys.argv[2]).read_bytes()
seeds = pathlib.Path(sys.argv[3] if len(sys.argv) > 3 else pathlib.Path(__file__).resolve().parent / "seeds" / "xl")
seeds.mkdir(parents=True, exist_ok=True)


def stream_at(image, at):
    """The XL stream from `at` through its end word 80 FD."""
    pos = at
    while True:
        if image[pos] == 0x80 and image[pos + 1] == 0xFD:
            return image[at:pos + 2]
        pos += 4 if image[pos] == 0x80 and image[pos + 1] == 0x80 else 2


def compress(data):
    counter = itertools.count()
    heap = [(n, next(counter), s) for s, n in sorted({b: data.count(b) for b in set(data)}.items())]
    heapq.heapify(heap)
    while len(heap) > 1:
        a, b = heapq.heappop(heap), heapq.heappop(heap)
        heapq.heappush(heap, (a[0] + b[0], next(counter), (b[2], a[2])))
    bits, codes = [], {}

    def walk(node, path):
        if isinstance(node, int):
            bits.append("1" + format(node, "08b"))
            codes[node] = path
        else:
            bits.append("0")
            walk(node[0], path + "0")
            walk(node[1], path + "1")

    walk(heap[0][2], "")
    text = "".join(bits) + "".join(codes[b] for b in data)
    text += "0" * (-len(text) % 8)
    return bytes(int(text[i:i + 8], 2) for i in range(0, len(text), 8))


# XL100: the tables, the entries at 0xB000 and the designs with their picture blocks.
entries = [xl100[0xB000 + 16 * i:0xB000 + 16 * i + 16] for i in range(36)]
end = max(int.from_bytes(e[5:8], "big") + 1026 for e in entries if e[3] != 0)
(seeds / "xl100.img").write_bytes(xl100[:end])

for packed in (False, True):
    directory = bytearray(xl1000[0x20000:0x20100])
    body = bytearray()
    for i in range(6):
        e = 4 + 32 * i
        if directory[e + 3] == 0 and directory[e + 4] == 0:
            break
        stream = stream_at(xl1000, int.from_bytes(directory[e:e + 3], "big"))
        at = 0x20100 + len(body)
        if packed:
            directory[e] = 0xE9
            directory[e + 5] = 0xE8
            directory[e + 16:e + 19] = at.to_bytes(3, "big")
            directory[e + 20:e + 23] = len(stream).to_bytes(3, "big")
            body += compress(stream)
        else:
            directory[e:e + 3] = at.to_bytes(3, "big")
            body += stream
    name = "xl1000_packed.img" if packed else "xl1000.img"
    (seeds / name).write_bytes(bytes(directory) + bytes(body))
