#!/usr/bin/env bash
# The main job: builds everything and shows the project working under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh >/dev/null
wine_run=build/wine-run
"$wine_run" --start-server
trap '"$wine_run" --stop-server' EXIT

echo "== A host application starts crash reporting (examples/example_host.c)"
"$wine_run" build/bin/example_host.exe
