#!/usr/bin/env bash
# Sets up the machine, builds everything and runs the program's main job on the built-in site
# simulator. The main window is not there yet: for now this builds every library, tool and test
# and says so.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
cmake --preset default
cmake --build --preset default

echo
echo "Built: $(ls build/default/bin | tr '\n' ' ')"
echo "The main window does not exist yet, so there is no acquisition to run on the simulator."
echo "Run the tests with: scripts/test.sh"
