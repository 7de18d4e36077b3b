#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the Windows cross
# build need.  Safe to run again: it installs only what is missing.
set -euo pipefail

packages=(
  cmake ninja-build clang lld
  libclang-rt-14-dev  # libFuzzer and the sanitizer runtimes (scripts/sanitize.sh, scripts/fuzz.sh)
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64
  python3 python3-pefile
  llvm  # llvm-symbolizer for lock-order reports; llvm-cov and llvm-profdata (scripts/fuzz.sh)
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -q
  "${sudo_cmd[@]}" apt-get install -y -q "${missing[@]}"
fi
