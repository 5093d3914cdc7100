#!/usr/bin/env bash
# Sets up the machine, builds the program and shows its main job on the site simulator, on
# loopback only.
#   With a display: starts bhv-sim (host unit, probe, live camera; 63 mm pulley for the electric
#   winch mode) and bhv-data-server, then the program bhv pointed at them, for you to drive.
#   Without one (a server, CI): the scripted operator (bhv-operator) drives the same main window
#   under Xvfb through a whole run - connect, hole DEMO-1, upload on, start, pay out slowly to
#   1.3 m recording video for 20 s while the host link and the camera stream are broken once,
#   screenshot, first page, stop, upload, exit - and saves what it saw (a PNG per step) and its
#   report.
# Everything is written below one temporary folder, printed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
cmake --preset default
cmake --build --preset default --target bhv bhv-sim bhv-data-server bhv-operator

bin="$PWD/build/default/bin"
out="$(mktemp -d /tmp/bhv-demo-XXXXXX)"

if [[ -z "${DISPLAY:-}" ]]; then
  echo
  echo "== No display: the scripted operator drives the main window under Xvfb =="
  echo "   (about four minutes; the step lines and the report follow)"
  status=0
  xvfb-run -a -s "-screen 0 1366x768x24 -nolisten tcp" \
    "$bin/bhv-operator" --out "$out" --to 1.3 --record 20 > "$out/operator.log" 2>&1 || status=$?
  grep -E '^(bhv-sim|bhv-data-server|step [0-9]+)|sent |FAILED|\[box\]' "$out/operator.log" || true
  sed -n '/^report$/,$p' "$out/operator.log"
  echo
  echo "What the operator saw: $out/screens (one PNG per step)"
  echo "Pages and the wall they should show: $out/pages; the whole log: $out/operator.log"
  echo "The run's project, upload copies and received pictures: $out/workspace, $out/received"
  exit "$status"
fi

# With a display: the simulator and the data server in the background, the program in front.
export HOME="$out/home" BHV_ROOT="$out/workspace/"
mkdir -p "$HOME" "$BHV_ROOT" "$out/received"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT
"$bin/bhv-sim" --host-port 0 --probe-port 0 --camera-port 0 --pulley 63 --no-stdin \
  > "$out/sim.log" 2>&1 &
pids+=($!)
"$bin/bhv-data-server" --port 0 --out "$out/received" > "$out/server.log" 2>&1 &
pids+=($!)
for _ in $(seq 300); do
  grep -q 'camera=' "$out/sim.log" 2>/dev/null && grep -q 'listening' "$out/server.log" 2>/dev/null && break
  sleep 0.1
done
# The addresses come from the lines that name them; each must be 127.0.0.1:PORT before anything
# connects (an empty value would leave the program on its compiled-in addresses).
first=$(grep -m1 'listening' "$out/sim.log" || true)
host=$(grep -o 'host=127\.0\.0\.1:[0-9]*' <<< "$first" | cut -d= -f2 || true)
probe=$(grep -o 'probe=127\.0\.0\.1:[0-9]*' <<< "$first" | cut -d= -f2 || true)
camera=$(grep -m1 -o 'camera=127\.0\.0\.1:[0-9]*' "$out/sim.log" | cut -d= -f2 || true)
server=$(grep -m1 -o 'listening on 127\.0\.0\.1:[0-9]*' "$out/server.log" | grep -o '127.*' || true)
for address in "$host" "$probe" "$camera" "$server"; do
  if [[ ! "$address" =~ ^127\.0\.0\.1:[0-9]+$ ]]; then
    echo "the simulator or the data server gave no loopback address ('$address'); not starting bhv" >&2
    exit 1
  fi
done
export BHV_HOST_ADDR="$host" BHV_PROBE_ADDR="$probe" BHV_CAMERA_ADDR="$camera"
echo
echo "bhv-sim: host $host, probe $probe, camera $camera (63 mm pulley: tick 电动模式)"
echo "bhv-data-server: $server (enter it under 上传设置, then tick 实时上传)"
echo "Starting bhv; close it with 退出."
"$bin/bhv" || true
echo
echo "Done. Logs, the project and the received pictures are in $out"
