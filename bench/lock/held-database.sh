#!/usr/bin/env bash
# Another program holds the project database in the middle of a run (a second connection in
# BEGIN EXCLUSIVE, as sqlite3 opened by a colleague or a backup tool does) for each of the given
# lengths, and a clean run of the same length is the reference: pages, probe states and quality
# rows stored against it (goal: equal), the longest wait the program reported, the most the
# writes took meanwhile (memory, and the spill file beside the project), the run's status.
#
#   bench/lock/held-database.sh [SECONDS ...] [--to METRES] [--out DIR]   (default: 20 120)
#   BHV_BIN: the build's bin folder (build/default/bin)
#
# The hold starts once the run has stored its first page. A slow run (0.8 m/min) of 3 m takes
# about four minutes, so a hold of 120 s ends inside it. Not part of the test suite.
set -u
holds=()
to=3
OUT=""
while [ $# -gt 0 ]; do
    case "$1" in
    --to) to=$2; shift 2 ;;
    --out) OUT=$2; shift 2 ;;
    *) holds+=("$1"); shift ;;
    esac
done
[ ${#holds[@]} -gt 0 ] || holds=(20 120)
OUT=${OUT:-$(mktemp -d /tmp/bhv-held.XXXXXX)}
BIN=${BHV_BIN:-build/default/bin}
ACQUIRE=$(realpath "$BIN/bhv-acquire")
mkdir -p "$OUT"
# The simulator runs inside bhv-acquire on 127.0.0.1; the device variables point at a closed
# loopback port so nothing else can ever be reached.
export BHV_HOST_ADDR=127.0.0.1:9 BHV_PROBE_ADDR=127.0.0.1:9 BHV_CAMERA_ADDR=127.0.0.1:9
for v in BHV_HOST_ADDR BHV_PROBE_ADDR BHV_CAMERA_ADDR; do
    case "${!v}" in 127.0.0.1:*) ;; *) echo "$v is not a loopback address" >&2; exit 2 ;; esac
done
export HOME=$OUT/home
mkdir -p "$HOME"

count() { sqlite3 "$1" "SELECT count(*) FROM $2" 2>/dev/null || echo "?"; }

# run NAME HOLD_SECONDS: one acquisition, the database held for HOLD_SECONDS after its first page.
run() {
    local name=$1 hold=$2 dir=$OUT/$1
    mkdir -p "$dir"
    export BHV_ROOT=$dir/root/
    "$ACQUIRE" --sim --to "$to" --speed slow --timeout 900 >"$dir/out.txt" 2>"$dir/err.txt" &
    local pid=$! project="" db="" spill_max=0
    while kill -0 "$pid" 2>/dev/null && [ -z "$db" ]; do
        project=$(sed -n 's/^run started, project //p' "$dir/out.txt" | head -1)
        [ -n "$project" ] && db=$(ls "$project"/*.prj 2>/dev/null | head -1)
        sleep 0.5
    done
    if [ "$hold" -gt 0 ] && [ -n "$db" ]; then
        while kill -0 "$pid" 2>/dev/null && [ "$(count "$db" bigImages)" = "0" ]; do sleep 1; done
        (echo "BEGIN EXCLUSIVE;"; echo "SELECT count(*) FROM bigImages;"; sleep "$hold"; echo "COMMIT;") \
            | sqlite3 "$db" >/dev/null &
        local holder=$!
        while kill -0 "$holder" 2>/dev/null; do
            local size
            size=$(stat -c %s "$db.pending" 2>/dev/null || echo 0)
            [ "$size" -gt "$spill_max" ] && spill_max=$size
            sleep 0.5
        done
        wait "$holder"
    fi
    wait "$pid"
    local status=$?
    local pages states quality waited memory left=no
    pages=$(count "$db" bigImages)
    states=$(count "$db" probeState)
    quality=$(count "$db" depthQuality)
    [ -e "$db.pending" ] && left=yes
    waited=$(sed -n 's/^  longest wait  \([0-9.]*\) s.*/\1/p' "$dir/out.txt" | tail -1)
    memory=$(sed -n 's/.*writes waiting [0-9]* s (\([0-9]*\) kB).*/\1/p' "$dir/out.txt" | sort -n | tail -1)
    echo "$name $hold $status $pages $states $quality ${waited:-0} ${memory:-0} $spill_max $left"
}

echo "bench/lock: bhv-acquire --sim --to $to --speed slow; the database held after the first page"
printf '%-8s %6s %6s %6s %7s %8s %10s %11s %11s %s\n' run hold_s status pages states quality \
    longest_s waiting_kB spill_bytes spill_left
read -r _ _ cstatus cpages cstates cquality _ _ _ _ < <(run clean 0)
printf '%-8s %6s %6s %6s %7s %8s %10s %11s %11s %s\n' clean 0 "$cstatus" "$cpages" "$cstates" \
    "$cquality" 0 0 0 no
failures=0
for hold in "${holds[@]}"; do
    read -r name h status pages states quality waited memory spill left < <(run "held-$hold" "$hold")
    printf '%-8s %6s %6s %6s %7s %8s %10s %11s %11s %s\n' "$name" "$h" "$status" "$pages" "$states" \
        "$quality" "$waited" "$memory" "$spill" "$left"
    verdict=met
    if [ "$status" != 0 ] || [ "$pages" != "$cpages" ] || [ "$states" != "$cstates" ] ||
        [ "$quality" != "$cquality" ] || [ "$left" != no ]; then
        verdict=MISSED
        failures=$((failures + 1))
    fi
    echo "  $verdict: held $h s: pages $pages of $cpages, probe states $states of $cstates, quality rows $quality of $cquality, run status $status"
done
echo "runs and logs in $OUT"
if [ "$failures" -eq 0 ]; then echo "RESULT: PASS"; else echo "RESULT: FAIL ($failures)"; fi
