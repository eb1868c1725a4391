#!/usr/bin/env bash
# Builds everything and makes the release: build/dist/Vessick-VERSION-win32/ and its zip.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh >/dev/null
scripts/package_release.sh build build/dist
