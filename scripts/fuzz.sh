#!/bin/sh
# Builds the libFuzzer targets of the file readers with clang (address and undefined-behaviour
# sanitizers, every library instrumented for coverage) in build/fuzz and runs them one after the
# other on their seed corpora (tests/fuzz/corpus/<target>). Not part of CI.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]    default 600 s each, every target
#
# New inputs the fuzzer finds go to build/fuzz/corpus/<target> (the committed seeds are left as
# they are); a crash leaves its input in build/fuzz/findings and ends the script with status 1.
# BHV_FUZZ_BUILD=<folder> builds and works in that folder instead of build/fuzz.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-600}
[ $# -gt 0 ] && shift
targets=${*:-"srt_fuzz sysconfig_fuzz upload_param_fuzz project_reader_fuzz"}
jobs=${BHV_FUZZ_JOBS:-2}
build=${BHV_FUZZ_BUILD:-build/fuzz}

command -v clang++ >/dev/null || { echo "fuzz.sh: clang++ is missing (apt-get install clang)"; exit 2; }
if [ ! -f "$build"/build.ninja ]; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBHV_FUZZ=ON -DBHV_BUILD_BENCH=OFF -DBHV_SANITIZE=address,undefined \
    -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link
fi
# shellcheck disable=SC2086
cmake --build "$build" -j "$jobs" --target $targets

mkdir -p "$build"/findings
status=0
for t in $targets; do
  work="$build"/corpus/$t
  mkdir -p "$work"
  echo "== $t: $seconds s"
  # Only the fuzzer's own summary lines are kept; its progress goes to <build folder>/$t.log.
  if ASAN_OPTIONS=detect_leaks=1 "$build"/bin/"$t" -max_total_time="$seconds" -rss_limit_mb=2048 \
      -timeout=20 -print_final_stats=1 -artifact_prefix="$build"/findings/"$t"- \
      "$work" tests/fuzz/corpus/"$t" >"$build"/"$t".log 2>&1; then
    grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb|^#[0-9]+.*DONE" "$build"/"$t".log || true
  else
    echo "$t found a fault: see $build/$t.log and $build/findings"
    tail -40 "$build"/"$t".log
    status=1
  fi
done
exit $status
