#!/usr/bin/env bash
# Kills `bhv-acquire --sim` (recording the whole run) with SIGKILL at random moments and checks
# what it left: the database sound, every page whose insert had returned before the kill there
# and decodable, the probe-state rows in order, the run log readable, the cut recording
# readable up to its last complete second, and the next start working. One line per kill.
#
#   bench/kill/kill-test.sh [ROUNDS] [OUT] [--held]     (BHV_BIN: the build's bin folder)
#
# --held: another program holds the project database from half-way to the kill, so the kill
# comes while writes wait (in memory and in the spill file beside the project); the next start
# must store them: the checks of the database are made after it, and the spill file must be gone.
#
# Takes about half a minute a round; not part of the test suite. Needs sqlite3, ffprobe, ffmpeg
# (and python3 for --held).
set -u
ROUNDS=${1:-20}
OUT=${2:-$(mktemp -d /tmp/bhv-kill.XXXXXX)}
HELD=0
[ "${3:-}" = "--held" ] && HELD=1
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
    kill_ms=$delay_ms
    "$ACQUIRE" --sim --to 4 --speed fast --record run --timeout 120 >"$dir/out.txt" 2>"$dir/err.txt" &
    pid=$!
    holder=""
    if [ "$HELD" = 1 ]; then
        # Half-way to the kill, another connection takes the database and keeps it past the kill.
        half=$((delay_ms / 2))
        sleep "$(printf '%d.%03d' $((half / 1000)) $((half % 1000)))"
        early=$(sed -n 's/^run started, project //p' "$dir/out.txt" | head -1)
        early_db=$(ls "$early"/*.prj 2>/dev/null | head -1)
        if [ -n "$early_db" ]; then
            # One process (killed below by its id): a connection that takes the lock and sleeps.
            python3 -c 'import sqlite3, sys, time
c = sqlite3.connect(sys.argv[1], isolation_level=None)
c.execute("BEGIN EXCLUSIVE")
time.sleep(300)' "$early_db" >/dev/null 2>&1 &
            holder=$!
        fi
        delay_ms=$((delay_ms - half))
    fi
    sleep "$(printf '%d.%03d' $((delay_ms / 1000)) $((delay_ms % 1000)))"
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    status=$?
    line="round $round: killed at ${kill_ms} ms (status $status)"
    bad=""
    project=$(sed -n 's/^run started, project //p' "$dir/out.txt" | head -1)
    spilled=""
    if [ -n "$holder" ]; then
        # The holder (started here) goes: the database is free again.
        kill -KILL "$holder" 2>/dev/null
        wait "$holder" 2>/dev/null
        db=$(ls "$project"/*.prj 2>/dev/null | head -1)
        [ -n "$db" ] && [ -e "$db.pending" ] && spilled=$(stat -c %s "$db.pending")
        line+=", held from half-way"
        [ -n "$spilled" ] && line+=" (spill of $spilled bytes left)"
        # The next start stores what was left before the database is checked.
        "$ACQUIRE" --sim --to 0.3 --speed fast --timeout 60 >"$dir/next.txt" 2>&1
        [ -n "$spilled" ] && [ -e "$db.pending" ] && bad+=" spill-not-stored"
        [ -n "$spilled" ] && ! grep -q '上次运行未写完的数据已存入项目' "$dir/next.txt" && bad+=" spill-not-told"
    fi
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
    [ -z "$holder" ] && "$ACQUIRE" --sim --to 0.3 --speed fast --timeout 60 >"$dir/next.txt" 2>&1
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
