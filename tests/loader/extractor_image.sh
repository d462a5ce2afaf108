#!/usr/bin/env bash
# Static checks of a built extractor: extractor_image.sh EXTRACTOR.exe i686|x86_64
# Prints its sizes; fails on the first check that does not hold.
set -euo pipefail
exe=$1 arch=$2
fail() { echo "FAIL ($arch extractor): $*" >&2; exit 1; }
[ -f "$exe" ] || fail "$exe is missing: build it with make windows"
headers=$(x86_64-w64-mingw32-objdump -p "$exe")
case $arch in
i686) format=pei-i386 magic=010b ;;
x86_64) format=pei-x86-64 magic=020b ;;
esac
grep -q "file format $format\$" <<<"$headers" || fail "not $format"
grep -qP "^Magic\\s+$magic\\b" <<<"$headers" || fail "optional header magic is not $magic"
grep -qP '^Subsystem\s+00000002\b' <<<"$headers" || fail "not the Windows GUI subsystem"
grep -qP '^Entry 9 0+ 00000000 ' <<<"$headers" || fail "a TLS directory means a runtime crept in"
# System DLLs only: no C runtime, no common controls.
dlls=$(sed -n 's/^\tDLL Name: //p' <<<"$headers" | sort | tr '\n' ' ')
[ "$dlls" = "ADVAPI32.dll KERNEL32.dll USER32.dll " ] || fail "imports from $dlls"
echo "$arch extractor: file $(stat -c %s "$exe") bytes"
