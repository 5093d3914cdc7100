#!/usr/bin/env bash
# Runs the scripted operator under Xvfb into a temporary folder (removed when it passes, kept and
# named when it fails). Exit 77 when xvfb-run is missing: the test is skipped.
set -uo pipefail
operator=$1
if ! command -v xvfb-run > /dev/null; then
  echo "xvfb-run is missing: skipped"
  exit 77
fi
out=$(mktemp -d /tmp/bhv-acceptance-XXXXXX)
xvfb-run -a -s "-screen 0 1366x768x24 -nolisten tcp" \
  "$operator" --out "$out" --to 1.1 --record 10 --min-similarity 0.0 --registration-goals off \
  > "$out/operator.log" 2>&1
status=$?
# The report and the figures; the program's own console lines stay in the log.
sed -n '/^report$/,$p' "$out/operator.log"
grep -E '^step|FAILED|\[box\]|^bhv-' "$out/operator.log"
if [[ $status -eq 0 ]]; then
  rm -rf "$out"
else
  echo "the scripted run failed (status $status); everything it wrote is in $out"
fi
exit $status
