#!/usr/bin/env bash
# The offline figures of long holes: for each depth a project made by bhv-deephole (pages from
# the simulator's wall, probe states and quality every 100 mm, the wall's structures as picks),
# then the figures a person meets with such a project, each against its goal:
#   project database   its size; opening it and reading its page list within 1 s
#   page browsing      last page back to the first, read and decoded as the program's page
#                      browser does (halved for a view up to half the page's width, whole for a
#                      wider one): each page within 200 ms (max and p99)
#   bhv-export         strips, LAS, CSV within 60 s; peak memory independent of depth (the 500 m
#                      peak at most 20 % above the 100 m one)
#   PDF log 1:20       within 60 s on one core (taskset -c 0), at most 400 MB resident
#   per-frame bookkeeping  the quality of every 100 mm fed frame by frame as a live run feeds it
#                      (bench_scale frames): a frame of the last metre costs what one of the
#                      first does; the run state it holds at the end at most 50 MB above a
#                      5 m run's
# and the growth of each figure from one depth to the next. With --live, the live program
# itself is run twice by the scripted operator under Xvfb (needs xvfb-run and bhv-operator in
# --bin): over the first 3 m of the hole and over 495 to 498 m (the simulator and the run's
# start depth at 495 m), each held to the operator's own goal lines (frame rate, CPU per frame,
# window thread, event loop, caption latency, peak memory), printed side by side. A figure past its goal prints
# MISSED; the last line is "RESULT: PASS" only when every goal held (else "RESULT: MISSED" and
# the exit status 1). Goals are held at depths up to --hold-to metres (500 by default); deeper
# ones are printed as figures, for the growth.
#
#   bench/scale/scale.sh [--depths 100,500,1000] [--out DIR] [--bin DIR] [--hold-to METRES]
#                        [--keep] [--live]
# --bin: the folder with bhv-deephole, bhv-export and bench_scale (default: build/default/bin);
# --out: where the projects and outputs go (default: a temporary folder, removed at the end
# unless --keep). Nothing here opens a network connection.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
depths="100,500,1000"
out=""
bin="$here/../../build/default/bin"
hold_to=500
keep=0
live=0
while [ $# -gt 0 ]; do
    case "$1" in
        --depths) depths="$2"; shift 2 ;;
        --out) out="$2"; shift 2 ;;
        --bin) bin="$2"; shift 2 ;;
        --hold-to) hold_to="$2"; shift 2 ;;
        --keep) keep=1; shift ;;
        --live) live=1; shift ;;
        -h|--help) sed -n '2,31p' "$0"; exit 0 ;;
        *) echo "scale.sh: unknown option $1" >&2; exit 2 ;;
    esac
done
tools=(bhv-deephole bhv-export bench_scale)
[ "$live" = 1 ] && tools+=(bhv-operator)
for tool in "${tools[@]}"; do
    [ -x "$bin/$tool" ] || { echo "scale.sh: $bin/$tool is missing (build it, or name --bin)" >&2; exit 2; }
done
if [ "$live" = 1 ]; then
    command -v xvfb-run > /dev/null || { echo "scale.sh: --live needs xvfb-run" >&2; exit 2; }
fi
[ -x /usr/bin/time ] || { echo "scale.sh: /usr/bin/time is missing (apt-get install time)" >&2; exit 2; }
command -v taskset > /dev/null || { echo "scale.sh: taskset is missing (util-linux)" >&2; exit 2; }

if [ -z "$out" ]; then
    out="$(mktemp -d /tmp/bhv-scale-XXXXXX)"
    [ "$keep" = 1 ] || trap 'rm -rf "$out"' EXIT
fi
mkdir -p "$out"
out="$(cd "$out" && pwd)"
# Whatever the tools write outside the named folders stays in the output folder too.
export HOME="$out/home" BHV_ROOT="$out/root/"
mkdir -p "$HOME" "$BHV_ROOT"
# No tool here connects; the device addresses point at a closed loopback port all the same.
export BHV_HOST_ADDR=127.0.0.1:9 BHV_PROBE_ADDR=127.0.0.1:9 BHV_CAMERA_ADDR=127.0.0.1:9
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$out/runtime"
mkdir -p -m 700 "$XDG_RUNTIME_DIR"

IFS=',' read -r -a depth_list <<< "$depths"
declare -A fig       # fig[depth,name] = value
pass=1
rows=()

# status VALUE GOAL DEPTH: "ok", "MISSED" or "-" (a depth past --hold-to).
status() {
    local value="$1" goal="$2" depth="$3"
    if awk -v d="$depth" -v h="$hold_to" 'BEGIN { exit !(d > h) }'; then echo "-"; return; fi
    if awk -v v="$value" -v g="$goal" 'BEGIN { exit !(v <= g) }'; then echo "ok"; else echo "MISSED"; fi
}
row() { rows+=("$(printf '%6s m  %-34s %14s  %-22s %s' "$@")"); }
get() { sed -n "s/^$1 //p" "$2"; }

# The run state a 5 m run holds at its end, the base of the held memory at every depth.
"$bin/bench_scale" frames 5 > "$out/frames-5.out" || true
held_base=$(get frames_held_mb "$out/frames-5.out" | cut -d' ' -f1)

for depth in "${depth_list[@]}"; do
    work="$out/$depth"
    rm -rf "$work"
    mkdir -p "$work"
    echo "== $depth m: making the project" >&2
    /usr/bin/time -o "$work/make.time" -f "%e %M" \
        "$bin/bhv-deephole" --workspace "$work/ws" --hole "DEEP$depth" --to "$depth" --no-log \
        > "$work/make.out"
    project="$(sed -n 's/^project //p' "$work/make.out")"
    read -r make_s make_kb < "$work/make.time"
    fig[$depth,make_s]=$make_s
    row "$depth" "project made (bhv-deephole)" "$make_s s" "(figure)" "$(sed -n 2p "$work/make.out")"

    echo "== $depth m: opening and browsing" >&2
    "$bin/bench_scale" open "$project" > "$work/open.out"
    "$bin/bench_scale" browse "$project" > "$work/browse.out"
    db_mb=$(awk -v b="$(get db_bytes "$work/open.out")" 'BEGIN { printf "%.1f", b / 1048576 }')
    open_ms=$(get open_ms "$work/open.out")
    fig[$depth,db_mb]=$db_mb
    fig[$depth,open_ms]=$open_ms
    row "$depth" "project database size" "$db_mb MB" "(stated)" "$(get pages "$work/open.out") pages"
    row "$depth" "open + page list" "$open_ms ms" "<= 1000 ms" "$(status "$open_ms" 1000 "$depth")"
    for kind in halved whole; do
        for stat in max p99 median; do
            v=$(get "${kind}_${stat}_ms" "$work/browse.out")
            fig[$depth,${kind}_${stat}]=$v
            if [ "$stat" = median ]; then
                row "$depth" "browse page, $kind, $stat" "$v ms" "(figure)" ""
            else
                row "$depth" "browse page, $kind, $stat" "$v ms" "<= 200 ms" "$(status "$v" 200 "$depth")"
            fi
        done
    done

    echo "== $depth m: per-frame bookkeeping" >&2
    "$bin/bench_scale" frames "$depth" > "$work/frames.out" || true
    first_us=$(get frames_per_frame_first_metre_us "$work/frames.out")
    last_us=$(get frames_per_frame_last_metre_us "$work/frames.out")
    held_mb=$(get frames_held_mb "$work/frames.out" | cut -d' ' -f1)
    frame_goal=$(awk -v f="$first_us" 'BEGIN { printf "%.2f", 1.5 * f + 2 }')
    held_more=$(awk -v a="$held_mb" -v b="$held_base" 'BEGIN { printf "%.2f", a - b }')
    fig[$depth,frame_us]=$last_us
    fig[$depth,held_mb]=$held_mb
    row "$depth" "per-frame bookkeeping, last metre" "$last_us us" "<= $frame_goal us" \
        "$(status "$last_us" "$frame_goal" "$depth") (first metre $first_us us)"
    row "$depth" "run state held, above a 5 m run" "$held_more MB" "<= 50 MB" \
        "$(status "$held_more" 50 "$depth")"

    echo "== $depth m: bhv-export" >&2
    /usr/bin/time -o "$work/export.time" -f "%e %M" \
        "$bin/bhv-export" "$project" --out "$work/export" > "$work/export.out"
    read -r export_s export_kb < "$work/export.time"
    export_mb=$(awk -v k="$export_kb" 'BEGIN { printf "%.1f", k / 1024 }')
    fig[$depth,export_s]=$export_s
    fig[$depth,export_mb]=$export_mb
    row "$depth" "bhv-export (strips, LAS, CSV)" "$export_s s" "<= 60 s" "$(status "$export_s" 60 "$depth")"
    row "$depth" "bhv-export peak RSS" "$export_mb MB" "same at every depth" "(compared below)"

    echo "== $depth m: PDF log at 1:20 on one core" >&2
    /usr/bin/time -o "$work/pdf.time" -f "%e %M" taskset -c 0 \
        "$bin/bhv-export" "$project" --report "$work/log.pdf" --scale 1:20 > "$work/pdf.out"
    read -r pdf_s pdf_kb < "$work/pdf.time"
    pdf_mb=$(awk -v k="$pdf_kb" 'BEGIN { printf "%.1f", k / 1024 }')
    pdf_pages=$(sed -n 's/.*: \([0-9]*\) pages at.*/\1/p' "$work/pdf.out")
    pdf_size=$(awk -v b="$(stat -c %s "$work/log.pdf")" 'BEGIN { printf "%.1f", b / 1048576 }')
    fig[$depth,pdf_s]=$pdf_s
    fig[$depth,pdf_mb]=$pdf_mb
    fig[$depth,pdf_size]=$pdf_size
    row "$depth" "PDF log 1:20, one core" "$pdf_s s" "<= 60 s" "$(status "$pdf_s" 60 "$depth")"
    row "$depth" "PDF log peak RSS" "$pdf_mb MB" "<= 400 MB" "$(status "$pdf_mb" 400 "$depth")"
    row "$depth" "PDF log file" "$pdf_size MB" "(stated)" "$pdf_pages pages"
    # The strips and the project are the bulk of the disk: gone once measured, unless kept.
    [ "$keep" = 1 ] || rm -rf "$work/export" "$work/ws"
done

# Export memory independent of depth: the 500 m peak against the 100 m one (or, without those
# depths, the deepest held depth against the shallowest).
held=()
for d in "${depth_list[@]}"; do
    awk -v d="$d" -v h="$hold_to" 'BEGIN { exit !(d <= h) }' && held+=("$d")
done
if [ ${#held[@]} -ge 2 ]; then
    lo=${held[0]} hi=${held[${#held[@]}-1]}
    [ -n "${fig[100,export_mb]:-}" ] && [ -n "${fig[500,export_mb]:-}" ] && lo=100 hi=500
    growth=$(awk -v a="${fig[$lo,export_mb]}" -v b="${fig[$hi,export_mb]}" 'BEGIN { printf "%.1f", (b / a - 1) * 100 }')
    verdict=ok
    if awk -v g="$growth" 'BEGIN { exit !(g > 20) }'; then verdict=MISSED; fi
    row "$lo-$hi" "bhv-export peak RSS growth" "$growth %" "<= 20 %" "$verdict"
else
    row "-" "bhv-export peak RSS growth" "n/a" "<= 20 %" "(needs two depths)"
fi

# The live program at the top of the hole and 495 m down, through the scripted operator.
if [ "$live" = 1 ]; then
    for stretch in "0 3.2" "495 498.2"; do
        read -r from to <<< "$stretch"
        work="$out/live-$from"
        mkdir -p "$work/home" "$work/root"
        echo "== live run from $from m to $to m (bhv-operator under Xvfb)" >&2
        args=(--out "$work" --to "$to" --no-faults --no-upload --record 0)
        [ "$from" != 0 ] && args+=(--down-from "$from")
        # A run of its own folders; the operator starts its own simulator on 127.0.0.1 (and
        # nothing is started with a device address that is not loopback).
        for v in "$BHV_HOST_ADDR" "$BHV_PROBE_ADDR" "$BHV_CAMERA_ADDR"; do
            case "$v" in 127.0.0.1:*) ;; *) echo "scale.sh: $v is not loopback" >&2; exit 2 ;; esac
        done
        HOME="$work/home" BHV_ROOT="$work/root/" env -u QT_QPA_PLATFORM \
            xvfb-run -a -s "-screen 0 1366x768x24" \
            "$bin/bhv-operator" "${args[@]}" > "$work/operator.out" 2>&1 || true
        result=$(sed -n 's/^RESULT: //p' "$work/operator.out")
        while IFS='|' read -r verdict name value; do
            [ "$verdict" = met ] && verdict=ok
            row "$from-$to" "live: $name" "$value" "(operator's goal)" "$verdict"
        done < <(sed -n '/^goals:/,/^RESULT/p' "$work/operator.out" |
                 sed -nE 's/^  (met|MISSED) +([^:]*): (.*)$/\1|\2|\3/p')
        [ "$result" = PASS ] || row "$from-$to" "live run" "${result:-no result}" "PASS" MISSED
    done
fi

echo
echo "Figures per depth"
printf '%8s  %-34s %14s  %-22s %s\n' "depth" "figure" "value" "goal" "status"
for r in "${rows[@]}"; do echo "$r"; done

# Growth: each figure's ratio from one depth to the next against the depths' ratio, as the
# exponent k of figure ~ depth^k (about 0: constant, about 1: linear, clearly above: worse).
if [ ${#depth_list[@]} -ge 2 ]; then
    echo
    echo "Growth (figure ratio, exponent k of figure ~ depth^k)"
    # The browsing's medians say how a page's cost grows; its maxima are one page each, the
    # slowest moment of a shared machine.
    names=(make_s db_mb open_ms halved_median whole_median halved_max whole_max export_s
           export_mb pdf_s pdf_mb pdf_size frame_us held_mb)
    labels=("project made, s" "database, MB" "open + page list, ms" "browse halved median, ms"
            "browse whole median, ms" "browse halved max, ms" "browse whole max, ms"
            "bhv-export, s" "bhv-export RSS, MB" "PDF log, s" "PDF log RSS, MB" "PDF file, MB"
            "per-frame bookkeeping, us" "run state held, MB")
    for i in "${!names[@]}"; do
        line="$(printf '  %-24s' "${labels[$i]}")"
        worst=0
        for ((j = 1; j < ${#depth_list[@]}; j++)); do
            a=${depth_list[$((j-1))]} b=${depth_list[$j]}
            va=${fig[$a,${names[$i]}]} vb=${fig[$b,${names[$i]}]}
            pair=$(awk -v a="$a" -v b="$b" -v x="$va" -v y="$vb" 'BEGIN {
                if (x <= 0 || y <= 0) { printf "%s->%s m: n/a", a, b; exit }
                r = y / x; k = log(r) / log(b / a);
                printf "%s->%s m: x%.2f (k=%.2f)", a, b, r, k }')
            line+="   $pair"
        done
        k=$(awk -v x="${fig[${depth_list[0]},${names[$i]}]}" -v y="${fig[${depth_list[${#depth_list[@]}-1]},${names[$i]}]}" \
                -v a="${depth_list[0]}" -v b="${depth_list[${#depth_list[@]}-1]}" 'BEGIN {
                if (x <= 0 || y <= 0) { print "n/a"; exit }
                k = log(y / x) / log(b / a);
                if (k < 0.25) print "constant"; else if (k < 1.25) print "linear"; else print "worse than linear" }')
        echo "$line   => $k"
    done
fi

for r in "${rows[@]}"; do
    case "$r" in *MISSED*) pass=0 ;; esac
done
echo
if [ "$pass" = 1 ]; then echo "RESULT: PASS"; else echo "RESULT: MISSED"; exit 1; fi
