#!/usr/bin/env bash
# Installs the Debian packages the build and tests need; skips what is there.
set -euo pipefail

packages=(
  # native build, tests and benchmarks
  cmake make g++ libgtest-dev libcli11-dev nlohmann-json3-dev libbenchmark-dev gzip xz-utils
  # the Windows loader, its static checks and its runs under Wine
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 icoutils wine wine64 xvfb xauth xdotool imagemagick
  # code signing end to end
  osslsigncode openssl
  # fuzzing (clang's libFuzzer) and memcheck
  clang libclang-rt-dev valgrind
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
