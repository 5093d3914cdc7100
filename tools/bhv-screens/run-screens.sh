#!/bin/bash
# Saves the screenshots of the program's windows into a folder (default docs/screenshots):
# starts bhv-sim on loopback, checks its addresses, and runs bhv-screens under Xvfb at
# 1366 x 768. Everything else it writes stays below a temporary folder.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
bin=${BHV_BIN:-$here/build/default/bin}
out=$(realpath -m "${1:-$here/docs/screenshots}")
work=$(mktemp -d)
trap 'kill "${sim_pid:-}" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
export HOME=$work BHV_ROOT=$work/workspace/
mkdir -p "$BHV_ROOT"

"$bin/bhv-sim" --host-port 0 --probe-port 0 --camera-port 0 --pulley 63 --no-stdin > "$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 300); do grep -q 'camera=' "$work/sim.out" && break; sleep 0.1; done
first=$(head -n 1 "$work/sim.out")
host=$(grep -o 'host=[^ ]*' <<< "$first" | cut -d= -f2 || true)
probe=$(grep -o 'probe=[^ ]*' <<< "$first" | cut -d= -f2 || true)
camera=$(grep -o 'camera=[^ ]*' "$work/sim.out" | head -n 1 | cut -d= -f2 || true)
for address in "$host" "$probe" "$camera"; do
  if [[ ! "$address" =~ ^127\.0\.0\.1:[0-9]+$ ]]; then
    echo "run-screens: the simulator gave no loopback address ('$address')" >&2
    exit 1
  fi
done
export BHV_HOST_ADDR=$host BHV_PROBE_ADDR=$probe BHV_CAMERA_ADDR=$camera
xvfb-run -a -s "-screen 0 1366x768x24 -nolisten tcp" "$bin/bhv-screens" "$out"
