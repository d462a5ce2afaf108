#!/usr/bin/env bash
# Installs the Debian packages the build and tests need; skips what is there.
set -euo pipefail

packages=(
  # native build, tests and benchmarks
  cmake make g++ binutils libgtest-dev libcli11-dev nlohmann-json3-dev libarchive-dev libbenchmark-dev gzip xz-utils zstd time jq
  # the Unicode Character Database, for the case table of archive names
  unicode-data
  # bundles: LZMA coding (liblzma) and the LZMA SDK's decoder compiled into the extractor
  liblzma-dev lzma-dev
  # the bundle benchmark's comparisons
  7zip nsis
  # the manual page, the Debian package (dpkg-shlibdeps), and their test; script gives the CLI tests a terminal
  help2man dpkg-dev man-db bsdutils
  # the extractor's texts under other languages: Wine takes the user's language from LANG, made with localedef
  locales
  # the Windows loader, its static checks and its runs under Wine
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 icoutils wine wine64 xvfb xauth xdotool imagemagick
  # what packed files show Windows: their manifests parsed, their headers and resources read independently
  libxml2-utils python3-pefile
  # code signing end to end
  osslsigncode openssl
  # fuzzing (clang's libFuzzer) and memcheck
  clang libclang-rt-dev valgrind
)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

install_missing() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  if [[ " ${missing[*]}" == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
}

install_missing "${packages[@]}"

# The shipped loader is the 32-bit build: where the kernel runs 32-bit code,
# Wine's 32-bit support lets the tests run it.
if why=$(bash "$(dirname "$0")/runs-32bit.sh"); then
  install_missing wine32:i386
else
  echo "The 32-bit loader cannot run here ($why); its end-to-end tests will be skipped."
fi
