#!/usr/bin/env bash
# Static checks of a built loader or extractor:
#   loader_image.sh EXE i686|x86_64 [loader|extractor]
# Prints its sizes; fails on the first check that does not hold.
set -euo pipefail
exe=$1 arch=$2 kind=${3:-loader}
fail() { echo "FAIL ($arch $kind): $*" >&2; exit 1; }
[ -f "$exe" ] || fail "$exe is missing: build it with make windows"
objdump=x86_64-w64-mingw32-objdump
headers=$($objdump -p "$exe")
case $arch in
i686) format=pei-i386 magic=010b ;;
x86_64) format=pei-x86-64 magic=020b ;;
esac
grep -q "file format $format\$" <<<"$headers" || fail "not $format"
grep -qP "^Magic\\s+$magic\\b" <<<"$headers" || fail "optional header magic is not $magic"
grep -qP '^Subsystem\s+00000002\b' <<<"$headers" || fail "not the Windows GUI subsystem"
grep -qP '^Entry 9 0+ 00000000 ' <<<"$headers" || fail "a TLS directory means a runtime crept in"
dlls=$(sed -n 's/^\tDLL Name: //p' <<<"$headers" | sort | tr '\n' ' ')
if [ "$kind" = extractor ]; then
  # System DLLs only: no C runtime, no common controls.
  [ "$dlls" = "ADVAPI32.dll KERNEL32.dll USER32.dll " ] || fail "imports from $dlls"
  # Its manifest, well-formed: it runs as its caller.
  wrestool -x --raw --type=24 --name=1 "$exe" | xmllint --xpath '//*[local-name()="requestedExecutionLevel"]/@level' - |
    grep -qx ' level="asInvoker"' || fail "no manifest asking to run as the caller"
  echo "$arch extractor: file $(stat -c %s "$exe") bytes"
  exit 0
fi

# Only these system functions (GetProcAddress finds the DLL search restrictions at run time).
allowed=" CreateFileA CreateFileW ReadFile WriteFile SetFilePointer CloseHandle DeleteFileA GetLastError GlobalAlloc
  GlobalFree GetModuleFileNameW GetShortPathNameW SetLastError WideCharToMultiByte GetTempPathW GetWindowsDirectoryA
  GetTempFileNameA lstrcpyA lstrcatA lstrlenA CreateProcessA
  WaitForSingleObject ExitProcess GetModuleHandleA GetCommandLineA GetStartupInfoA GetProcAddress
  GetCommandLineW CreateProcessW lstrlenW MultiByteToWideChar GetExitCodeProcess
  GetStdHandle FindFirstFileA FindNextFileA FindClose GetSystemTimeAsFileTime
  CreateWindowExA PostMessageA GetMessageA DestroyWindow MessageBoxA "
allowed=" $(echo $allowed) "
[ "$dlls" = "KERNEL32.dll USER32.dll " ] || fail "imports from $dlls"
imports=$(awk '/^\tDLL Name:/ { on = 1; next } on && /^\t[0-9a-f]+\t/ { print $3 }' <<<"$headers")
[ -n "$imports" ] || fail "no imported functions found"
for name in $imports; do
  [[ "$allowed" == *" $name "* ]] || fail "imports $name"
done

# The whole image lies before the payload at 32768.
size=$(stat -c %s "$exe")
[ "$size" -le 32728 ] || fail "the file is $size bytes, into the package record before offset 32768"
section() { echo $((16#$($objdump -h "$exe" | awk -v n="$1" '$2 == n { print $3 }'))); }
echo "$arch loader: file $size bytes, code $(section .text) bytes, resources $(section .rsrc) bytes, $((32728 - size)) bytes to spare"

# The German icon group 102 with 48, 32 and 16 pixels at 4, 8 and 32 bits.
listing=$(wrestool -l "$exe")
grep -q -- '--type=14 --name=102 --language=1031' <<<"$listing" || fail "no icon group 102 in German"
[ "$(grep -c -- '--type=3 ' <<<"$listing")" = 9 ] || fail "not nine icon images"
formats=$(wrestool -x --raw --type=14 --name=102 --language=1031 "$exe" | od -An -v -tu1 | tr -s ' \n' ' ' |
  awk '{ for (i = 0; i < $5; i++) { e = 7 + 14 * i; printf "%sx%s@%s ", $(e), $(e + 1), $(e + 6) } }')
[ "$formats" = "48x48@4 48x48@8 48x48@32 32x32@4 32x32@8 32x32@32 16x16@4 16x16@8 16x16@32 " ] ||
  fail "icon images $formats"
