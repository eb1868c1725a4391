#!/usr/bin/env bash
# The whole test suite: builds everything, then runs every test under Wine through CTest.
# Extra arguments go to ctest (for instance -R crash to run a subset).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
ctest --preset win32 "$@"
