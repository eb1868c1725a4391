#!/usr/bin/env bash
# The main job: builds everything and shows both deliverables working under Wine.
#
#   scripts/demo.sh [FAILURE]
#
# Part 1: the example host (examples/example_host.cpp) starts crash reporting and fails in the
# way named (access-violation by default; stack-overflow, divide-by-zero, abort, pure-call,
# cxx-exception, thread-crash); the demo shows where orlent's report went and what it says.
# Part 2: Tremath drives Quennet.dll against the local package server.
set -euo pipefail
cd "$(dirname "$0")/.."
failure=${1:-access-violation}
case "$failure" in
  access-violation|stack-overflow|divide-by-zero|abort|pure-call|cxx-exception|thread-crash) ;;
  *) echo "unknown failure '$failure'" >&2; sed -n '4,9p' "$0" >&2; exit 2 ;;
esac

scripts/build.sh >/dev/null
wine_run=build/wine-run
scratch=$(mktemp -d)
"$wine_run" --start-server
trap 'rm -rf "$scratch"; "$wine_run" --stop-server' EXIT
windows_path() { printf 'Z:%s' "$(realpath "$1" | tr / '\\')"; }

echo "== Part 1: Vessick.dll and orlent.exe"
echo "-- the example host starts crash reporting, then fails on purpose: $failure"
# A Windows parent shows the host's whole exit code (a Unix parent sees only its low 8 bits).
"$wine_run" build/tests/bin/exit_code_of.exe "$(windows_path "$scratch")\\exit" 120000 \
  "$(windows_path build/examples/example_host.exe)" "$failure" | tee "$scratch/output"
echo "host exit code: $(sed 's/^exit=//' "$scratch/exit")"
folder=$(sed -n 's/^orlent: .*written to \(.*\)$/\1/p' "$scratch/output" | tr -d '\r')
if [ -z "$folder" ]; then
  echo "no report was written" >&2
  exit 1
fi
report_dir=$("$wine_run" winepath -u "$folder" 2>/dev/null | tr -d '\r')
echo
echo "-- the report (Windows: $folder)"
/usr/bin/python3 tools/report_summary/report_summary.py "$report_dir"
echo "(full text: $report_dir/report.txt)"

echo
echo "== Part 2: Tremath.exe and Quennet.dll"
/usr/bin/python3 scripts/demo_tremath.py
