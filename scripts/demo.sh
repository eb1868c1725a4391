#!/usr/bin/env bash
# The main job: builds everything and shows the project working under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh >/dev/null
wine_run=build/wine-run
"$wine_run" --start-server
trap '"$wine_run" --stop-server' EXIT

echo "== A host application starts crash reporting (examples/example_host.c)"
"$wine_run" build/examples/example_host.exe

echo
echo "== The same host crashes on purpose: Vessick hands the crash to orlent.exe"
# A Windows parent shows the host's whole exit code (a Unix parent sees only its low 8 bits).
windows_path() { printf 'Z:%s' "$(realpath "$1" | tr / '\\')"; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"; "$wine_run" --stop-server' EXIT
"$wine_run" build/tests/bin/exit_code_of.exe "$(windows_path "$scratch")\\exit" 60000 \
  "$(windows_path build/examples/example_host.exe)" --crash | tee "$scratch/output"
echo "host exit code: $(sed 's/^exit=//' "$scratch/exit")"
folder=$(sed -n 's/^orlent: .*written to \(.*\)$/\1/p' "$scratch/output" | tr -d '\r')
echo
echo "== The report orlent wrote: $folder"
report_dir=$("$wine_run" winepath -u "$folder" 2>/dev/null | tr -d '\r')
ls "$report_dir"
echo "-- report.txt"
cat "$report_dir/report.txt"
