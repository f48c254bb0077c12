#!/usr/bin/env bash
# A Brother card image of about 300 KiB (the real PES designs of the corpus, six times over)
# written through `velmora card write --raw` to brimlet-sim, the box pacing its replies at
# the line speed, beside the time that the write lines actually sent and their echoes
# need on that line. The image is built first with `velmora card image`, so the figure is
# the erase and the programming alone (the box's erase is set to take no time).
#   bench/card_write.sh [BUILD_DIR] [BAUD] [CORPUS_DIR]
set -euo pipefail
build=${1:-build/dev}
baud=${2:-460800}
corpus=${3:-tests/data/corpus}
work=$(mktemp -d)
trap 'kill "${sim_pid:-}" 2>/dev/null || true; rm -rf "$work"' EXIT

export VELMORA_CONFIG_DIR=$work/config XDG_DATA_HOME=$work/data TMPDIR=$work
mkdir -p "$VELMORA_CONFIG_DIR" "$work/designs"
printf '[Options]\r\nBaudRate=%s\r\n' "$baud" > "$VELMORA_CONFIG_DIR/VelmoraII.ini"
for copy in 1 2 3 4 5 6; do
    for design in "$corpus"/real/pes/*.pes; do
        cp "$design" "$work/designs/$copy-$(basename "$design")"
    done
done
"$build/cli/velmora" card image --make brother --type 29F040 --out "$work/card.img" "$work"/designs/*.pes > "$work/built.txt"
used=$(sed -n 's/.*: \([0-9]*\) bytes of card data.*/\1/p' "$work/built.txt")

coproc sim { exec "$build/sim/brimlet-sim" --chip 29F040 --baud "$baud" --pace --erase-ms 0 --save "$work/held.crd"; }
sim_pid=$sim_PID
read -r port <&"${sim[0]}"

start=$(date +%s.%N)
"$build/cli/velmora" card write --port "$port" --raw "$work/card.img" 2> "$work/write.err" || { cat "$work/write.err" >&2; exit 1; }
end=$(date +%s.%N)
kill "$sim_pid"
while kill -0 "$sim_pid" 2>/dev/null; do sleep 0.1; done  # it saves the card as it ends
cmp "$work/card.img" "$work/held.crd" >&2 || { echo "the card holds something else than the image" >&2; exit 1; }

# The chunks the write sends: every one that is not all 0xFF, and the last of each row.
chunks=$(python3 - "$work/card.img" <<'EOF'
import sys
image = open(sys.argv[1], "rb").read()
size = len(image)
rows = [(s, h, 256) for s in range(size >> 16) for h in (0, 0x80)]
if size & 0xFFFF:
    rows += [(size >> 16, h, ((size >> 8) & 0xFF) + 1) for h in (0, 0x80)]
sent = 0
for segment, half, count in rows:
    for k in range(count):
        at = segment * 0x10000 + k * 256 + half
        chunk = image[at:at + 128]
        if k == count - 1 or chunk.count(0xFF) != len(chunk):
            sent += 1
print(sent)
EOF
)

# Each chunk: a 398-byte write line out, its 397-byte echo and the 3-byte prompt back. The
# box paces only its replies; the write lines reach it at once through the pseudo-terminal.
awk -v s="$start" -v e="$end" -v b="$baud" -v c="$chunks" -v u="$used" 'BEGIN {
    back = c * 400 * 10 / b
    both = c * (398 + 400) * 10 / b
    printf "Brother image of %d bytes (%.0f KiB) written at %d baud: %.2f s for %d write lines\n", u, u / 1024, b, e - s, c
    printf "the paced replies alone need %.2f s on the line (%.0f%% of the write); a real line carrying the write lines too needs %.2f s\n", back, 100 * back / (e - s), both
}'
