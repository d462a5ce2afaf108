#!/usr/bin/env bash
# Builds the three folders the bundle benchmark packs, from files Debian
# installs, once: bundle_folders.sh OUT_DIR. OUT_DIR/A is Wine's Windows DLLs
# and programs stripped with MinGW's strip (about 85 MB); OUT_DIR/B an
# application-like folder of about 32 MB: some DLLs, text documents, locale
# catalogues, fonts and images; OUT_DIR/C 64 MiB that does not compress:
# random bytes in eight files and their xz'd Debian changelogs; OUT_DIR/T
# one text file, for how fast a tiny bundle starts. A folder already built
# is kept.
set -euo pipefail
out=$1
mkdir -p "$out"

# Copies the files named on stdin (one a line) under 'to', keeping their path
# below 'base', until 'limit' bytes.
copy_until() {
  python3 -c '
import os, shutil, sys
to, base, limit = sys.argv[1], sys.argv[2], int(sys.argv[3])
total = 0
for line in sys.stdin:
    path = line.rstrip("\n")
    size = os.path.getsize(path)
    if total + size > limit:
        continue
    target = os.path.join(to, os.path.relpath(path, base))
    os.makedirs(os.path.dirname(target), exist_ok=True)
    shutil.copyfile(path, target)
    total += size
' "$@"
}

wine_dir=
for d in /usr/lib/x86_64-linux-gnu/wine /usr/lib/i386-linux-gnu/wine /usr/lib/wine; do
  [ -d "$d/x86_64-windows" ] || [ -d "$d/i386-windows" ] && { wine_dir=$d; break; }
done
[ -n "$wine_dir" ] || { echo "no Wine DLLs found" >&2; exit 1; }

if [ ! -f "$out/A.done" ]; then
  rm -rf "$out/A" "$out/strip" && mkdir -p "$out/strip"
  for arch in x86_64 i386; do
    [ -d "$wine_dir/$arch-windows" ] || continue
    tool=x86_64-w64-mingw32-strip; [ $arch = i386 ] && tool=i686-w64-mingw32-strip
    mkdir -p "$out/strip/$arch"
    find "$wine_dir/$arch-windows" -maxdepth 1 -type f \( -name '*.dll' -o -name '*.exe' \) -print0 |
      while IFS= read -r -d '' f; do
        $tool -o "$out/strip/$arch/$(basename "$f")" "$f" 2>/dev/null || cp "$f" "$out/strip/$arch/"
      done
  done
  # Large and small alike, by name: about 85 MB.
  find "$out/strip" -type f | sort | copy_until "$out/A" "$out/strip" $((85 * 1000 * 1000))
  rm -rf "$out/strip"
  touch "$out/A.done"
fi

if [ ! -f "$out/B.done" ]; then
  rm -rf "$out/B" && mkdir -p "$out/B"
  find "$wine_dir"/*-windows -maxdepth 1 -type f -name '*.dll' | sort > "$out/dlls.txt"
  head -n 60 "$out/dlls.txt" | copy_until "$out/B/bin" "$wine_dir" $((9 * 1000 * 1000))
  for f in "$out"/B/bin/*/*.dll; do
    case $f in */i386-windows/*) i686-w64-mingw32-strip "$f" ;; *) x86_64-w64-mingw32-strip "$f" ;; esac 2>/dev/null || true
  done
  find /usr/share/doc -type f -name '*[a-z]*' ! -name '*:*' | sort | copy_until "$out/B/doc" /usr/share/doc $((7 * 1000 * 1000))
  find /usr/share/locale -type f -name '*.mo' | sort | copy_until "$out/B/locale" /usr/share/locale $((6 * 1000 * 1000))
  find /usr/share/fonts -type f | sort | copy_until "$out/B/fonts" /usr/share/fonts $((5 * 1000 * 1000))
  find /usr/share/icons /usr/share/pixmaps -type f \( -name '*.png' -o -name '*.svg' -o -name '*.xpm' \) | sort |
    copy_until "$out/B/images" /usr/share $((4 * 1000 * 1000))
  touch "$out/B.done"
fi
if [ ! -f "$out/C.done" ]; then
  rm -rf "$out/C" && mkdir -p "$out/C/changelogs"
  for i in 1 2 3 4 5 6 7 8; do head -c $((8 << 20)) /dev/urandom > "$out/C/random-$i.bin"; done
  find /usr/share/doc -type f -name 'changelog*.gz' | sort | sed -n '1,200p' |
    while read -r f; do gzip -dc "$f" | xz -9 > "$out/C/changelogs/$(basename "$(dirname "$f")").xz"; done
  touch "$out/C.done"
fi
mkdir -p "$out/T" && printf 'Read me.\r\n' > "$out/T/readme.txt"
for f in A B C T; do
  echo "$f: $(find "$out/$f" -type f | wc -l) files, $(du -sb "$out/$f" | cut -f1) bytes" >&2
done
