#!/usr/bin/env bash
# Re-processing measured on runs the program recorded itself.
#
#   bench/reprocess/measure-program.sh BUILD_DIR NEW_WORK_DIR [down] [offcentre]
#
# down:      bhv-acquire --sim --to 1.3 --speed slow --diameter 70 --record run; the live pages
#            scored against the simulated wall, the recording re-processed with 2 and with 1
#            thread, those pages scored, and the frames per second of both.
# offcentre: the same run with the simulated site's configured ring centre 20 reference pixels
#            right of the camera's (Xoffset 752); the live pages scored, the recording
#            re-processed with the correct centre (--centre 732,572) and scored.
# Without a part both are run. Every process runs with BHV_ROOT and HOME below NEW_WORK_DIR.
# The simulated hole is 70 mm wide, hence --diameter 70 (bhv-acquire's default is 110 mm).
#
# ACQUIRE_NICE (default 0) runs bhv-acquire at that niceness (negative needs root): the in-process
# camera renders and encodes 20 frames per second within one core only when it gets one, and
# a camera that delivers fewer frames both starves the live stitching and makes a recording
# whose nominal 20 fps no longer matches its subtitles. The script prints the rate the camera
# actually delivered (recorded frames over the subtitles' seconds).
set -euo pipefail

if [[ $# -lt 2 ]]; then
    echo "usage: $0 BUILD_DIR NEW_WORK_DIR [down] [offcentre]" >&2
    exit 2
fi
bin=$(cd "$1" && pwd)/bin
work=$2
shift 2
parts=("$@")
[[ ${#parts[@]} -eq 0 ]] && parts=(down offcentre)
if [[ -e $work ]]; then
    echo "$work exists; name a new folder" >&2
    exit 2
fi
mkdir -p "$work"
work=$(cd "$work" && pwd)
for tool in bhv-acquire bhv-reprocess bench_program_run; do
    [[ -x $bin/$tool ]] || { echo "$bin/$tool missing: build it first" >&2; exit 2; }
done

# bhv-acquire --sim connects only to the site it starts on 127.0.0.1; the device variables still
# point at loopback, so that nothing can ever fall back to the compiled-in device addresses.
export BHV_HOST_ADDR=127.0.0.1:9 BHV_PROBE_ADDR=127.0.0.1:9 BHV_CAMERA_ADDR=127.0.0.1:9
for v in BHV_HOST_ADDR BHV_PROBE_ADDR BHV_CAMERA_ADDR; do
    [[ ${!v} =~ ^127\.0\.0\.1:[0-9]+$ ]] || { echo "$v is not a loopback address" >&2; exit 2; }
done

# run_in FOLDER COMMAND...: the command with its root and home below FOLDER.
run_in() {
    local root=$1
    shift
    mkdir -p "$root/root" "$root/home"
    BHV_ROOT=$root/root HOME=$root/home "$@"
}

# acquire FOLDER: one recorded run; prints the project folder.
acquire() {
    local dir=$1
    mkdir -p "$dir"
    echo "\$ BHV_ROOT=$dir/root HOME=$dir/home nice -n ${ACQUIRE_NICE:-0} bhv-acquire --sim --to 1.3 --speed slow --diameter 70 --record run" >&2
    run_in "$dir" nice -n "${ACQUIRE_NICE:-0}" "$bin/bhv-acquire" --sim --to 1.3 --speed slow \
        --diameter 70 --record run >"$dir/acquire.log" 2>&1 || {
        echo "bhv-acquire failed; see $dir/acquire.log" >&2
        return 1
    }
    grep -E '^  (reached|pages|frames) ' "$dir/acquire.log" >&2
    sed -n 's/^  project       //p' "$dir/acquire.log"
}

# recording DIR PROJECT: picks the video to re-process and sets `video` and `video_args`.
# The recorder writes the camera's nominal 20 frames per second; when the camera delivered
# fewer (a loaded machine; more than 2 % off counts), the video's time axis no longer matches
# its subtitles, and bhv-reprocess refuses it or gives the frames wrong depths. Then, with ffmpeg at hand, a copy whose frame rate is the
# rate actually delivered (frames over the subtitles' seconds: an average, so depths within the
# run stay off where the rate varied) is re-processed instead, with the original subtitles and
# project.
recording() {
    local dir=$1 project=$2 frames seconds rate
    video=$(ls "$project"/Bot-VideoFrom*mm.avi | head -1)
    video_args=()
    local srt=${video%.avi}.srt
    seconds=$(grep -c -- '-->' "$srt")
    frames=$(ffprobe -v error -select_streams v:0 -count_packets \
        -show_entries stream=nb_read_packets -of csv=p=0 "$video" 2>/dev/null || echo 0)
    rate=$(awk -v f="$frames" -v s="$seconds" 'BEGIN { printf "%.4f", s ? f / s : 0 }')
    echo "  recording: $frames frames (the AVI says 20 per second), subtitles over $seconds s:" \
        "the camera delivered $rate frames per second"
    if awk -v r="$rate" 'BEGIN { exit !(r > 0 && (r < 19.6 || r > 20.4)) }' && command -v ffmpeg >/dev/null; then
        mkdir -p "$dir/rate-corrected"
        local copy
        copy=$dir/rate-corrected/$(basename "$video")
        echo "\$ ffmpeg -r $rate -i \"$video\" -c copy $copy"
        ffmpeg -v error -r "$rate" -i "$video" -c copy "$copy"
        video_args=(--srt "$srt" --project "$project")
        video=$copy
    fi
}

# reprocess DIR VIDEO OUT THREADS [ARGS...]: re-processes and prints the tool's closing lines.
reprocess() {
    local dir=$1 avi=$2 out=$3 threads=$4
    shift 4
    echo "\$ bhv-reprocess \"$avi\" --out $out --threads $threads --quiet $*"
    run_in "$dir" "$bin/bhv-reprocess" "$avi" --out "$out" --threads "$threads" --quiet "$@" \
        >"$out.log" 2>&1 || true
    grep -vE 'lastDepth|^\[' "$out.log" | grep -E '^video |ring:|frames,|bhv-reprocess:|note:' | sed 's/^/  /'
}

for part in "${parts[@]}"; do
    case $part in
    down)
        dir=$work/down
        echo "== downward 1.3 m, slow (0.8 m/min), recorded by the program"
        project=$(acquire "$dir")
        "$bin/bench_program_run" "$project" --label live
        recording "$dir" "$project"
        for threads in 2 1; do
            reprocess "$dir" "$video" "$dir/re-t$threads" "$threads" "${video_args[@]}"
            [[ -d $dir/re-t$threads ]] &&
                "$bin/bench_program_run" "$dir/re-t$threads" --label "re-processed, $threads thread(s)"
        done
        ;;
    offcentre)
        dir=$work/offcentre
        echo "== downward 1.3 m with the configured ring centre 20 reference pixels off (Xoffset 752)"
        run_in "$dir" "$bin/bench_program_run" --write-config "$dir/root/sim-config" --centre-x 752
        project=$(acquire "$dir")
        "$bin/bench_program_run" "$project" --config "$dir/root/sim-config/BhvSysConfigParam.xml" \
            --label "live, centre 752"
        recording "$dir" "$project"
        reprocess "$dir" "$video" "$dir/re-fixed" 2 --centre 732,572 "${video_args[@]}"
        [[ -d $dir/re-fixed ]] &&
            "$bin/bench_program_run" "$dir/re-fixed" --label "re-processed, --centre 732,572"
        ;;
    *)
        echo "unknown part $part" >&2
        exit 2
        ;;
    esac
done
