#!/usr/bin/env bash
# A whole 512 KiB card read through `velmora card read` against brimlet-sim, the box
# pacing its replies at the line speed, beside the time the bytes alone need on that line.
#   bench/card_read.sh [BUILD_DIR] [BAUD]
set -euo pipefail
build=${1:-build/dev}
baud=${2:-460800}
work=$(mktemp -d)
trap 'kill "${sim_pid:-}" 2>/dev/null || true; rm -rf "$work"' EXIT

export VELMORA_CONFIG_DIR=$work/config XDG_DATA_HOME=$work/data TMPDIR=$work
mkdir -p "$VELMORA_CONFIG_DIR"
printf '[Options]\r\nBaudRate=%s\r\n' "$baud" > "$VELMORA_CONFIG_DIR/VelmoraII.ini"
head -c 524288 /dev/urandom > "$work/card.crd"

coproc sim { exec "$build/sim/brimlet-sim" --chip 29F040 --card "$work/card.crd" --baud "$baud" --pace; }
sim_pid=$sim_PID
read -r port <&"${sim[0]}"

start=$(date +%s.%N)
"$build/cli/velmora" card read --port "$port" --dir "$work/designs" --image "$work/read.crd" > /dev/null
end=$(date +%s.%N)
cmp -s "$work/card.crd" "$work/read.crd" || { echo "the card read back differs" >&2; exit 1; }

# 2048 raw page reads: a 17-byte command out, a 275-byte reply back, 10 bits a byte.
awk -v s="$start" -v e="$end" -v b="$baud" 'BEGIN {
    line = 2048 * (17 + 275) * 10 / b
    printf "512 KiB card read at %d baud: %.2f s (the page bytes alone need %.2f s on the line; %.0f%% of the read)\n", b, e - s, line, 100 * line / (e - s)
}'
