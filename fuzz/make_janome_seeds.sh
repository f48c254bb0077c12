#!/usr/bin/env bash
# Writes the seed card images of process_janome_fuzz into fuzz/seeds/janome: cards that
# `velmora card image` builds from two corpus designs, each behind the byte that chooses the
# extraction (0 9000 L, 1 9000 D, 2 8000, 3 MC10000), cut to the part the reader needs.
#   fuzz/make_janome_seeds.sh [build/dev]
set -euo pipefail
cd "$(dirname "$0")/.."
velmora="${1:-build/dev}/cli/velmora"
corpus=tests/data/corpus/synthetic
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
designs=("$corpus/dst/p01_square_1color.dst" "$corpus/exp/p02_three_colors_jumps_trims.exp")
for card in "janome9000 29F040" "janome8000 29F040" "mc10000 29F800" "sns SnS1"; do
  set -- $card
  TMPDIR="$work" "$velmora" card image --make "$1" --type "$2" --out "$work/$1.img" "${designs[@]}" >/dev/null
done
mkdir -p fuzz/seeds/janome
python3 - "$work" fuzz/seeds/janome <<'PY'
import pathlib, sys
work, out = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
def seed(name, selector, image):
    (out / name).write_bytes(bytes([selector]) + bytes(image))
d = bytearray((work / "janome9000.img").read_bytes())[:0x14000]
seed("9000d.crd", 1, d)
l = bytearray(d)
l[0:24] = b"832 DATA EXP L V1.0 R2.0"
for i, at in enumerate((0xF7C, 0xF80)):  # the D card's stream entries as L entries
    l[0x3000 + 4 * i:0x3004 + 4 * i] = d[at:at + 4]
l[0x3008:0x300C] = b"\xaa\xaa\xaa\x0a"
seed("9000l.crd", 0, l)
seed("8000.crd", 2, (work / "janome8000.img").read_bytes())
sns = bytearray((work / "sns.img").read_bytes())
sns[0:16] = bytes(16)                      # the 8000 family's mark
sns[0x211A:0x211C] = (0x2200).to_bytes(2, "little")
sns[0x2204:0x220E] = b"\x00\x40" * 5       # the grouped layout's five words
seed("sns.crd", 2, sns)
seed("mc10000.crd", 3, (work / "mc10000.img").read_bytes()[:0x20000])
PY
