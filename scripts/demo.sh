#!/usr/bin/env bash
# Sets up the machine, builds everything and runs the program's main job on the built-in site
# simulator, on loopback only. The main window does not exist yet, so the job is shown in its
# three parts, each by the tool that drives the real library:
#   1. the link: bhv-sim plays the host unit and the probe; bhv-monitor connects as the program
#      does, pays the winch out and prints the telemetry;
#   2. the images: bhv-pages runs a simulated acquisition down and up the synthetic borehole
#      through the unwrapping, stitching and paging into a project database and saves the pages;
#   3. the upload: bhv-data-server receives a page that bhv-upload sends with the upload job.
# Everything is written below one temporary folder (printed at the end).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
cmake --preset default
cmake --build --preset default

bin="$PWD/build/default/bin"
out="$(mktemp -d /tmp/bhv-demo-XXXXXX)"
export HOME="$out/home" BHV_ROOT="$out/workspace/"
mkdir -p "$HOME" "$BHV_ROOT"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

echo
echo "== 1. Link: site simulator and device monitor =="
"$bin/bhv-sim" --host-port 0 --probe-port 0 --no-stdin > "$out/sim.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do grep -q "listening" "$out/sim.log" 2>/dev/null && break; sleep 0.1; done
host=$(head -n1 "$out/sim.log" | grep -o 'host=127\.0\.0\.1:[0-9]*' | cut -d= -f2)
probe=$(head -n1 "$out/sim.log" | grep -o 'probe=127\.0\.0\.1:[0-9]*' | cut -d= -f2)
if [[ "$host" != 127.0.0.1:* || "$probe" != 127.0.0.1:* ]]; then
  echo "the simulator did not report loopback ports; not starting the monitor" >&2
  exit 1
fi
( sleep 2; echo "speed 2"; echo out; sleep 6; echo stop; sleep 1; echo quit ) |
  BHV_HOST_ADDR="$host" BHV_PROBE_ADDR="$probe" "$bin/bhv-monitor" --host "$host" --probe "$probe" \
  > "$out/monitor.log"
head -n 5 "$out/monitor.log"
echo "..."
tail -n 3 "$out/monitor.log"

echo
echo "== 2. Images: a simulated acquisition down and up the borehole =="
# The stitcher's console trace (a line per frame pair) goes to the log; the pages are summarised.
"$bin/bhv-pages" "$out/pages" 1.05 > "$out/pages.log"
grep -E "page|similarity" "$out/pages.log"
echo "pages saved as PNG in $out/pages"

echo
echo "== 3. Upload: one page to the data server =="
page=$(ls "$out"/pages/down-10000.png 2>/dev/null || ls "$out"/pages/down-*.png | head -n1)
mkdir -p "$out/upload"
ffmpeg -loglevel error -y -i "$page" -vf scale=350:-2 "$out/upload/10000.jpg"
"$bin/bhv-data-server" --port 0 --out "$out/received" > "$out/server.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do grep -q "listening" "$out/server.log" 2>/dev/null && break; sleep 0.1; done
server=$(head -n1 "$out/server.log" | grep -o '127\.0\.0\.1:[0-9]*')
"$bin/bhv-upload" --server "$server" --project DEMO "$out/upload/10000.jpg" | tail -n 4
received=$(ls "$out"/received/*.jpg | head -n1)
cmp "$out/upload/10000.jpg" "$received" && echo "received byte-identical: $received"

echo
echo "Done. Logs, pages (PNG) and the received picture are in $out"
echo "The main window is not built yet; run every test with: ./scripts/test.sh"
