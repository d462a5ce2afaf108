#!/usr/bin/env bash
# Bundles are the same bytes for the same folder and settings: four fixed
# folders, two coded with the split branch conversion (x86-64 and x86), one
# without, and one whose random file is stored, at levels 1 and 9 (the text's
# with -e), on one thread and on two; the appended data (header, command, coded archive) must hash as recorded, so
# that a change to how bundles are made that changes their bytes is seen, and
# then recorded here on purpose.
#   bundle_bytes.sh SFXPACK LOADER.exe EXTRACTOR.exe
set -uo pipefail
sfxpack=$(realpath "$1") loader=$(realpath "$2") extractor=$(realpath "$3")
top=$(mktemp -d) && trap 'rm -rf "$top"' EXIT
cd "$top" || exit 1
failed=0

# x86-64 code by its PE header, with near calls and loads relative to the
# next instruction among other bytes (6.5 MB, more than the threads hand on
# at once): the x86-64 split conversion's choice; the same as x86 code, the
# split conversion's; and plain text, which takes no filter.
mkdir -p code/lib code32 text/sub
program() {
  perl -e 'print "MZ\x90", "\0" x 57, pack("V", 64), "PE\0\0", pack("v", $ARGV[0]), "\0" x 18;
    for $i (0 .. 250000) { print pack("CCV", 0x55, 0xE8, ($i * 37) % 5000 - 2500), "abc", pack("C", $i % 251),
      pack("CCCV", 0x48, 0x8B, 0x05, ($i * 13) % 4096 - 9), pack("CCV", 0xFF, 0x15, ($i * 7) % 512) }' "$1"
}
program 34404 > code/prog.exe && program 332 > code32/prog.exe
cp code/prog.exe code/lib/copy.dll && printf 'read me\n' > code/readme.txt
seq 1 30000 > text/numbers.txt && printf 'Grüße\n' > text/sub/Ärger.txt && : > text/sub/empty
seq 1 800000 > text/sub/count.txt # 5 MB: more than the threads hand on at once, and not alike
# Random bytes (a chain of SHA-256 digests) are stored, unless too small or
# copied; the text beside them is coded.
mkdir -p mixed/sub
perl -MDigest::SHA=sha256 -e '$s = "x"; for (1 .. 10000) { $s = sha256($s); print $s }' > mixed/noise.bin
head -c 120000 mixed/noise.bin > mixed/sub/copy.bin && cp mixed/sub/copy.bin mixed/sub/copy2.bin
head -c 9000 mixed/noise.bin > mixed/small.bin && seq 1 20000 > mixed/numbers.txt
chmod -R u=rwX,go=rX code code32 text mixed && chmod 755 code/prog.exe code32/prog.exe
export SOURCE_DATE_EPOCH=1000000000 # every time clamped to it

while read -r folder level filter want; do
  "$sfxpack" -q bundle "$folder" -o out.exe -f --loader "$loader" --extractor "$extractor" $level \
    --run "$([ "${folder#code}" != "$folder" ] && echo 'prog.exe /S' || echo 'cmd /c type numbers.txt')" ||
    { echo "FAIL: $folder $level: sfxpack bundle failed" >&2; failed=1; continue; }
  "$sfxpack" list --json out.exe | grep -q "\"filter\": \"$filter\"" ||
    { echo "FAIL: $folder $level: not coded with filter $filter" >&2; failed=1; }
  stored=$("$sfxpack" list --json out.exe | sed -n 's/.*"stored_size": *\([0-9]*\).*/\1/p')
  want_stored=$([ "$folder" = mixed ] && echo 320162 || echo 0) # noise.bin's data and the zeros that align it
  [ "$stored" = "$want_stored" ] || { echo "FAIL: $folder $level: $stored bytes stored, want $want_stored" >&2; failed=1; }
  rm -rf back && "$sfxpack" -q extract out.exe -C back && diff -r "$folder" back ||
    { echo "FAIL: $folder $level: extracted, the files differ" >&2; failed=1; }
  info=$("$sfxpack" info --json out.exe)
  offset=$(sed -n 's/.*"appended_offset": *\([0-9]*\).*/\1/p' <<< "$info")
  size=$(sed -n 's/.*"appended_size": *\([0-9]*\).*/\1/p' <<< "$info")
  got=$(tail -c +$((offset + 1)) out.exe | head -c "$size" | sha256sum | cut -c1-16)
  [ "$got" = "$want" ] || { echo "FAIL: $folder $level: appended data hashes $got, want $want" >&2; failed=1; }
done <<'ROWS'
code -1T1 x86-64-split ef66102403f658e0
code -1T2 x86-64-split ef66102403f658e0
code -9 x86-64-split ecded9015b04953a
code -9T1 x86-64-split ecded9015b04953a
code32 -9 x86-split dfe3d85dc09d5a14
text -1T2 none 91ab498733c8428f
text -1T1 none 91ab498733c8428f
text -9e none d836b9fd4a489b93
mixed -1T1 none e679022bc5b34c07
mixed -1T2 none e679022bc5b34c07
ROWS
exit $failed
