#!/usr/bin/env bash
# Kills `bhv-acquire --sim` (recording the whole run) with SIGKILL at random moments and checks
# what it left: the database sound, every page whose insert had returned before the kill there
# and decodable, the probe-state rows in order, the run log readable, the cut recording
# readable up to its last complete second, and the next start working. One line per kill.
#
#   bench/kill/kill-test.sh [ROUNDS] [OUT]     (BHV_BIN: the build's bin folder)
#
# Takes about half a minute a round; not part of the test suite. Needs sqlite3, ffprobe, ffmpeg.
set -u
ROUNDS=${1:-20}
OUT=${2:-$(mktemp -d /tmp/bhv-kill.XXXXXX)}
BIN=${BHV_BIN:-build/default/bin}
ACQUIRE=$(realpath "$BIN/bhv-acquire")
mkdir -p "$OUT"
# The simulator runs inside bhv-acquire on 127.0.0.1; the device variables point at a closed
# loopback port so nothing else can ever be reached.
export BHV_HOST_ADDR=127.0.0.1:9 BHV_PROBE_ADDR=127.0.0.1:9 BHV_CAMERA_ADDR=127.0.0.1:9
export HOME=$OUT/home
mkdir -p "$HOME"
failures=0
for round in $(seq 1 "$ROUNDS"); do
    dir=$OUT/round-$round
    mkdir -p "$dir"
    export BHV_ROOT=$dir/root/
    # A random moment from before the run starts to near its end (about 25 s at the fast speed).
    delay_ms=$(( (RANDOM % 24000) + 1000 ))
    "$ACQUIRE" --sim --to 4 --speed fast --record run --timeout 120 >"$dir/out.txt" 2>"$dir/err.txt" &
    pid=$!
    sleep "$(printf '%d.%03d' $((delay_ms / 1000)) $((delay_ms % 1000)))"
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    status=$?
    line="round $round: killed at ${delay_ms} ms (status $status)"
    bad=""
    project=$(sed -n 's/^run started, project //p' "$dir/out.txt" | head -1)
    if [ -z "$project" ]; then
        line+=", before the run started"
    else
        db=$(ls "$project"/*.prj 2>/dev/null | head -1)
        integrity=$(sqlite3 "$db" "PRAGMA integrity_check" 2>&1)
        [ "$integrity" = "ok" ] || bad+=" integrity:$integrity"
        reported=$(sed -n 's/.*  pages \([0-9]*\) .*/\1/p' "$dir/out.txt" | tail -1)
        reported=${reported:-0}
        pages=$(sqlite3 "$db" "SELECT count(*) FROM bigImages")
        [ "$pages" -ge "$reported" ] || bad+=" pages:$pages<$reported"
        mkdir -p "$dir/pages"
        (cd "$dir/pages" && sqlite3 "$db" "SELECT writefile(id || '.jpg', data) FROM bigImages" >/dev/null)
        undecodable=0
        for jpg in "$dir"/pages/*.jpg; do
            [ -e "$jpg" ] || continue
            ffmpeg -v error -i "$jpg" -f null - >/dev/null 2>&1 || undecodable=$((undecodable + 1))
        done
        [ "$undecodable" -eq 0 ] || bad+=" undecodable-pages:$undecodable"
        states=$(sqlite3 "$db" "SELECT count(*) FROM probeState")
        disorder=$(sqlite3 "$db" "SELECT count(*) FROM probeState a JOIN probeState b ON b.rowid = a.rowid + 1 WHERE b.id <= a.id")
        [ "$disorder" = "0" ] || bad+=" probe-states-out-of-order:$disorder"
        log=$(ls "$project"/*.txt 2>/dev/null | head -1)
        if [ -n "$log" ] && grep -q "Start" "$log"; then loglines=$(wc -l <"$log"); else loglines=0; bad+=" run-log"; fi
        avi=$(ls "$project"/*.avi 2>/dev/null | head -1)
        video="no video"
        if [ -n "$avi" ]; then
            srt=${avi%.avi}.srt
            seconds=$(grep -c -- '-->' "$srt" 2>/dev/null)
            frames=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$avi" 2>/dev/null)
            frames=${frames:-0}
            # The simulated camera's rate depends on the machine's load, so the frames are not
            # counted against the seconds: every frame written must decode, and a recording of
            # a few seconds must hold frames.
            # A file still empty holds no key frame yet: nothing was recorded before the kill.
            if [ -s "$avi" ]; then
                ffmpeg -v error -i "$avi" -f null - >"$dir/decode.txt" 2>&1 || bad+=" video-undecodable"
                [ -s "$dir/decode.txt" ] && bad+=" video-decode-errors"
                if [ "$frames" -eq 0 ] && [ "${seconds:-0}" -ge 3 ]; then bad+=" video-empty"; fi
                video="video $frames frames all decoded, $seconds subtitles"
            else
                video="video empty (no key frame before the kill), $seconds subtitles"
            fi
        fi
        line+=", pages $pages (reported $reported, all decode), probe states $states in order, run log $loglines lines, $video"
    fi
    # The next start in the same root folder.
    # On a loaded machine the simulated camera may send no frame in so short a run (no page):
    # the start, the run to its depth and a saved end are what count.
    "$ACQUIRE" --sim --to 0.3 --speed fast --timeout 60 >"$dir/next.txt" 2>&1
    if grep -q '^run started' "$dir/next.txt" && grep -q '^  reached       yes' "$dir/next.txt" &&
        grep -q '^  saved         yes' "$dir/next.txt"; then
        line+=", next start ok"
    else
        bad+=" next-start"
    fi
    if [ -n "$bad" ]; then
        line+=" -- FAILED:$bad"
        failures=$((failures + 1))
    fi
    echo "$line"
done
echo "$failures of $ROUNDS rounds failed; output in $OUT"
[ "$failures" -eq 0 ]
