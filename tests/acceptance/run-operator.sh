#!/usr/bin/env bash
# Runs the scripted operator under Xvfb into a temporary folder (removed when it passes, kept and
# named when it fails). Exit 77 when xvfb-run is missing: the test is skipped.
#
# The operator, Xvfb and the peers the operator starts run in a process group of their own,
# which is ended by its id whenever this script ends (done, failed, or stopped by a signal), so
# a failed run leaves nothing behind.
set -uo pipefail
operator=$1
shift  # what follows replaces the run's defaults (the operator takes the last of each option)
if ! command -v xvfb-run > /dev/null; then
  echo "xvfb-run is missing: skipped"
  exit 77
fi
out=$(mktemp -d /tmp/bhv-acceptance-XXXXXX)
group=""
end_group() {
  [[ -n $group ]] || return 0
  kill -TERM -- "-$group" 2> /dev/null || return 0
  for _ in $(seq 50); do
    kill -0 -- "-$group" 2> /dev/null || return 0
    sleep 0.1
  done
  kill -KILL -- "-$group" 2> /dev/null || true
}
trap end_group EXIT
trap 'exit 143' TERM INT
# A background job of a script is no group leader, so setsid makes it the leader of a new
# session and process group with its own process id, without forking again.
setsid xvfb-run -a -s "-screen 0 1366x768x24 -nolisten tcp" \
  "$operator" --out "$out" --to 1.1 --record 10 --min-similarity 0.0 --registration-goals ci "$@" \
  > "$out/operator.log" 2>&1 < /dev/null &
group=$!
wait "$group"
status=$?
end_group
group=""
# The report and the figures; the program's own console lines stay in the log.
sed -n '/^report$/,$p' "$out/operator.log"
grep -E '^step|FAILED|\[box\]|^bhv-' "$out/operator.log"
if [[ $status -eq 0 ]]; then
  rm -rf "$out"
else
  echo "the scripted run failed (status $status); everything it wrote is in $out"
fi
exit $status
