#!/usr/bin/env bash
# Writes the seed corpora: make_seeds.sh SFXPACK LOADER.exe HOSTILE_BUNDLE
# Small inputs of every shape the harnesses read, made with our own tools.
set -euo pipefail
sfxpack=$1 loader=$2 hostile=$3
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
dec="$here/corpus/decoder" rt="$here/corpus/round_trip" exe="$here/corpus/sfxpack"
arc="$here/corpus/tar" coded="$here/corpus/coded" rec="$here/corpus/record" head="$here/corpus/bundle_header"
pe="$here/corpus/pe_image"
mkdir -p "$dec" "$rt" "$exe" "$arc" "$coded" "$rec" "$head" "$pe"

printf 'abc' > "$tmp/abc"
printf 'aaaaaaaa' > "$tmp/aaaa"
head -c 3000 "$here/../README.md" > "$tmp/text"
{ for i in $(seq 0 255); do printf "\\x$(printf %02x $i)"; done; head -c 600 /dev/zero; } > "$tmp/bytes"

# Decoder: payloads from the encoder, and the refusals it must give.
for level in 1 6 9; do
  for f in abc text bytes; do "$sfxpack" -qf encode -l $level "$tmp/$f" -o "$dec/$f-l$level"; done
done
"$sfxpack" -qf encode "$tmp/aaaa" -o "$dec/run"
printf '\x00\x00\x00\x00' > "$dec/empty-count"
printf '\x03\x00' > "$dec/short-header"
printf '\x03\x00\x00\x00\x98\x43\x10' > "$dec/truncated"
printf '\x02\x00\x00\x00\x98\x43\x08' > "$dec/escaped-twice"
printf '\xff\xff\xff\x7f\x98\x43\x10\x63' > "$dec/huge-count"
printf '\xfe\xff\xff\xff\x98\x43\x10\x63' > "$dec/negative-count"

# Round trip: a level byte, then the data.
for f in abc aaaa text bytes; do
  for level in 0 5 8; do { printf "\\x0$level"; cat "$tmp/$f"; } > "$rt/$f-l$((level + 1))"; done
done

# sfxpack: packed files, a loader alone, a bare payload, files too short.
"$sfxpack" -qf pack "$tmp/text" --loader "$loader" -o "$exe/packed"
"$sfxpack" -qf pack "$tmp/abc" --loader "$loader" --append "$tmp/aaaa" -o "$exe/packed-appended"
cp "$exe/packed-appended" "$exe/packed-no-record"
dd if=/dev/zero of="$exe/packed-no-record" bs=1 seek=32732 count=36 conv=notrunc status=none
cp "$loader" "$exe/loader-only"
head -c 32770 "$exe/packed" > "$exe/packed-short"
cp "$dec/text-l6" "$exe/bare-payload"
head -c 64 "$loader" > "$exe/dos-header"
head -c 400 "$loader" > "$exe/pe-headers"

# Record: both versions with the fields of a packed file's (flags 5 in
# version 2), and version 2's with a check that fails.
dd if="$exe/packed-appended" of="$tmp/record" bs=1 skip=32728 count=40 status=none
python3 - "$tmp/record" "$rec" <<'PY'
import sys, zlib
record, folder = open(sys.argv[1], "rb").read(), sys.argv[2]
fields = record[8:32] if record[:4] == b"SFXR" else record[12:36]
def sealed(body): return body + zlib.crc32(body).to_bytes(4, "little")
v2 = sealed(b"SFXR" + (2 | 40 << 16).to_bytes(4, "little") + fields + (5).to_bytes(4, "little"))
open(folder + "/version2", "wb").write(v2)
open(folder + "/version1", "wb").write(b"\0" * 4 + sealed(b"SFXR" + (1 | 36 << 16).to_bytes(4, "little") + fields))
open(folder + "/damaged", "wb").write(v2[:20] + bytes([v2[20] ^ 1]) + v2[21:])
PY

# Tar: streams as GNU tar writes them (a zero byte first: fed whole,
# a byte of 7 then: fed in pieces of 7), and hostile ones made by hand.
tree="$tmp/tree"
long=$(printf 'long-%.0s' $(seq 1 12))
mkdir -p "$tree/sub/Grüße" "$tree/$long/$long"
printf 'abc' > "$tree/abc.txt"; : > "$tree/empty"; printf 'x' > "$tree/sub/Grüße/Ärger.txt"
for format in pax ustar; do
  for first in '\x00' '\x07'; do
    { printf "$first"; tar -C "$tree" --format=$format --owner=0 --group=0 --mtime=@0 --sort=name -cf - . 2>/dev/null |
      head -c 19000; } > "$arc/$format-$(printf "$first" | od -An -tu1 | tr -d ' ')"
  done
done
# A pax stream with names an extraction takes, laid out headers first, as
# bundles hold it (a byte of 0x41 first: read so, in pieces of 455).
head -c 20000 /dev/zero | tr '\0' 'z' > "$tree/sub/zeds.bin"
tar -C "$tree" --format=pax --owner=0 --group=0 --mtime=@0 --sort=name -cf "$tmp/first.tar" abc.txt empty sub "$long"
rm "$tree/sub/zeds.bin"
python3 - "$tmp/first.tar" "$arc/first" <<'PY'
import sys
tar = open(sys.argv[1], "rb").read()
headers, data, at = b"", [], 0
while at + 512 <= len(tar) and tar[at:at + 512] != bytes(512):
    size = int(tar[at + 124:at + 136].split(b"\0")[0] or b"0", 8)
    padded = (size + 511) // 512 * 512
    if tar[at + 156:at + 157] in (b"x", b"g"):
        headers += tar[at:at + 512 + padded]
    else:
        headers += tar[at:at + 512]
        data.append(tar[at + 512:at + 512 + size])
    at += 512 + padded
out = headers + bytes(1024)
for d in data:
    align = 512 if len(d) >= 16384 else 4 if d else 1
    out += bytes(-len(out) % align) + d
open(sys.argv[2], "wb").write(b"\x41" + out)
PY
for case_name in parent symlink fold file-folder pax-parent sparse pax-size truncated checksum; do
  "$hostile" "$case_name" "$loader" "$loader" "$tree/abc.txt" "$tmp/$case_name.tar"
  { printf '\x00'; cat "$tmp/$case_name.tar"; } > "$arc/$case_name"
done

# Coded: bundles' appended data (header and coded archive, fed in pieces of
# 35), sound and lying; the split branch conversion's over a program's code.
# Bundle header: the first bytes of some of them, version 1's among them.
seed_bundle() {
  "$hostile" "$1" "$loader" "$loader" "$2" "$tmp/bundle.exe"
  tail -c +$(($("$sfxpack" info --json "$tmp/bundle.exe" | jq .appended_offset) + 1)) "$tmp/bundle.exe" > "$tmp/appended"
  case $1 in version1 | pax-size | split | stored | sliced) head -c 120 "$tmp/appended" > "$head/$1" ;; esac
  [ "$1" = version1 ] || { printf '\x05'; cat "$tmp/appended"; } > "$coded/$1"
}
for case_name in pax-size version1 lzma-properties lzma-longer lzma-shorter; do seed_bundle $case_name "$tree/abc.txt"; done
for case_name in split split-flags stored stored-sizes sliced sliced-size; do seed_bundle $case_name "$loader"; done
# LZMA in chunks, as bundle makes it now: a made-up x86-64 program, the
# x86-64 split conversion's. The seeds split-x64 (version 8, one LZMA
# stream) came from the same program before. (A stored chunk needs more
# than a dictionary the harness allows: the unit tests have those.)
mkdir -p "$tmp/x64"
perl -e 'print "MZ\x90", "\0" x 57, pack("V", 64), "PE\0\0", pack("v", 0x8664), "\0" x 18;
  for $i (0 .. 300) { print pack("CV", 0xE8, $i * 40), pack("CCCV", 0x48, 0x8B, 0x05, $i * 8), pack("CCV", 0xFF, 0x15, 64) }' \
  > "$tmp/x64/prog.exe"
"$sfxpack" -qf bundle "$tmp/x64" -o "$tmp/x64.exe" --loader "$loader" --run prog.exe
tail -c +$(($("$sfxpack" info --json "$tmp/x64.exe" | jq .appended_offset) + 1)) "$tmp/x64.exe" > "$tmp/appended"
{ printf '\x05'; cat "$tmp/appended"; } > "$coded/chunks-x64" && head -c 120 "$tmp/appended" > "$head/chunks-x64"
# An archive's header (version 4: no command, a title and a target).
printf 'SFXB\x04\x00\x1e\x00\x00\x00\x05\x00\x01\x00\x5d\x00\x00\x00\x10\x00\x00\x10\x00\x00\x00\x00\x00\x00\x0c\x00FotosC:\\Fotos\\%%X%%' > "$head/archive"

# PE headers: the loader's first kilobyte (its headers and section table),
# cut inside the section table, and with its signature broken.
head -c 1024 "$loader" > "$pe/loader-head"
head -c 400 "$loader" > "$pe/loader-cut"
cp "$pe/loader-head" "$pe/no-signature" && printf 'XX' | dd of="$pe/no-signature" bs=1 seek=$(($(od -An -tu4 -j 60 -N4 "$loader"))) conv=notrunc status=none

# PE resources: the loader's own, a packed file's loader with an icon of one
# image, version information and a manifest, and the same with its directory
# looping back to its root.
res="$here/corpus/pe_resources"
mkdir -p "$res"
cp "$loader" "$res/loader"
printf '\0\0\1\0\1\0\20\20\0\0\1\0\40\0\50\0\0\0\26\0\0\0' > "$tmp/one.ico" && head -c 40 /dev/zero >> "$tmp/one.ico"
"$sfxpack" -qf pack "$tmp/abc" --loader "$loader" --icon "$tmp/one.ico" --version-string ProductName=Seed \
  --file-version 1.2.3.4 --execution-level highestAvailable -o "$tmp/shown.exe"
head -c 32768 "$tmp/shown.exe" > "$res/packed-loader"
rsrc=$((16#$(x86_64-w64-mingw32-objdump -h "$res/packed-loader" | awk '$2 == ".rsrc" { print $6 }')))
cp "$res/packed-loader" "$res/loop" && printf '\0\0\0\x80' | dd of="$res/loop" bs=1 seek=$((rsrc + 20)) conv=notrunc status=none
