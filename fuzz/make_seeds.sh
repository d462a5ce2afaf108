#!/usr/bin/env bash
# Writes the seed corpora: make_seeds.sh SFXPACK LOADER.exe
# Small inputs of every shape the harnesses read, made with our own tools.
set -euo pipefail
sfxpack=$1 loader=$2
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
dec="$here/corpus/decoder" rt="$here/corpus/round_trip" exe="$here/corpus/sfxpack"
mkdir -p "$dec" "$rt" "$exe"

printf 'abc' > "$tmp/abc"
printf 'aaaaaaaa' > "$tmp/aaaa"
head -c 3000 "$here/../README.md" > "$tmp/text"
{ for i in $(seq 0 255); do printf "\\x$(printf %02x $i)"; done; head -c 600 /dev/zero; } > "$tmp/bytes"

# Decoder: payloads from the encoder, and the refusals it must give.
for level in 1 6 9; do
  for f in abc text bytes; do "$sfxpack" -q encode -l $level "$tmp/$f" -o "$dec/$f-l$level"; done
done
"$sfxpack" -q encode "$tmp/aaaa" -o "$dec/run"
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
"$sfxpack" -q pack "$tmp/text" --loader "$loader" -o "$exe/packed"
"$sfxpack" -q pack "$tmp/abc" --loader "$loader" --append "$tmp/aaaa" -o "$exe/packed-appended"
cp "$exe/packed-appended" "$exe/packed-no-record"
dd if=/dev/zero of="$exe/packed-no-record" bs=1 seek=32732 count=36 conv=notrunc status=none
cp "$loader" "$exe/loader-only"
head -c 32770 "$exe/packed" > "$exe/packed-short"
cp "$dec/text-l6" "$exe/bare-payload"
head -c 64 "$loader" > "$exe/dos-header"
head -c 400 "$loader" > "$exe/pe-headers"
