#!/usr/bin/env bash
# Installs a finished build into OUT_DIR/Vessick-VERSION-win32/ and packs it as a zip beside it.
# Usage: scripts/package_release.sh BUILD_DIR OUT_DIR   (prints the zip's path)
set -euo pipefail
build_dir=$(realpath "$1")
out_dir=$(realpath -m "$2")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
name="Vessick-$version-win32"
rm -rf "${out_dir:?}/$name" "$out_dir/$name.zip"
mkdir -p "$out_dir"
cmake --install "$build_dir" --prefix "$out_dir/$name" >/dev/null
(cd "$out_dir" && cmake -E tar cf "$name.zip" --format=zip "$name")
echo "$out_dir/$name.zip"
