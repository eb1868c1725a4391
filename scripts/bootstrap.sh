#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Idempotent: when everything is
# already there it only checks and returns in well under a second.
set -euo pipefail

packages=(
  cmake ninja-build
  g++-mingw-w64-i686-posix    # GCC 12 cross compiler, posix threads (std::thread, GoogleTest)
  g++-mingw-w64-i686-win32    # the same, win32 threads: the shipped DLLs (no winpthreads)
  libz-mingw-w64-dev           # zlib built for mingw (static)
  wine wine32:i386             # runs the 32-bit binaries
  googletest                   # sources only, built with the cross compiler
  python3-pytest python3-pefile python3-pyelftools   # pyelftools: the symbols tool (Breakpad files)
  lldb                         # independent reader of the minidumps the reporter writes
  llvm                         # llvm-dlltool (MSVC import library), llvm-readobj (its check)
  openssl                      # the test CA for the local HTTPS server
  tmux locales                 # the console seen in a terminal under a Chinese locale
  zip unzip libarchive-tools   # extractor tests: packages Info-ZIP and bsdtar write (unzip: names)
  p7zip-full pigz tar          # ... and those 7-Zip, GNU tar and pigz write
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "bootstrap: installing ${missing[*]}" >&2
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
