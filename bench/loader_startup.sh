#!/usr/bin/env bash
# The loader's start-up under Wine, new build against a base build:
#   loader_startup.sh SFXPACK NEW_LOADER.exe BASE_LOADER.exe STUB.exe WORK_DIR
# Packs STUB (a program that starts and ends at once) as it is and padded with
# Windows program bytes to 8 MiB (about 2.3 MB of payload), and times,
# alternately, the stub alone and both loaders from start to exit. Prints
# medians in milliseconds (ROUNDS runs each, 9 by default).
set -euo pipefail
sfxpack=$(realpath "$1") new=$(realpath "$2") base=$(realpath "$3") stub=$(realpath "$4") work=$(realpath -m "$5")
rounds=${ROUNDS:-9}
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 640x480x24 -noreset" "$0" "$@"
fi
mkdir -p "$work"
export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
[ -d "$WINEPREFIX/drive_c/windows" ] || { wineboot -i > /dev/null 2>&1; wineserver -w; }
wineserver -p 60 2> /dev/null || true # one server for all runs (it fails when one is up)
trap 'wineserver -k 2>/dev/null || true' EXIT

padding=(/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/*.exe)
now() { date +%s%N; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
printf '%-8s %10s %10s %10s %14s %14s\n' stub "alone ms" "base ms" "new ms" "base loader ms" "new loader ms"
for size in 0 8388608; do
  dir="$work/$size" && rm -rf "$dir" && mkdir -p "$dir"
  if [ "$size" = 0 ]; then
    cp "$stub" "$dir/stub.exe" && size=$(stat -c %s "$stub")
  else
    { cat "$stub" "${padding[@]}" || true; } | head -c "$size" > "$dir/stub.exe"
  fi
  "$sfxpack" -qf pack "$dir/stub.exe" -o "$dir/new.exe" --loader "$new"
  "$sfxpack" -qf pack "$dir/stub.exe" -o "$dir/base.exe" --loader "$base"
  wine "$dir/stub.exe" > /dev/null 2>&1 || true # warm the prefix and the page cache
  for what in alone base new; do : > "$dir/$what.times"; done
  for round in $(seq "$rounds"); do
    for what in alone base new; do
      exe="$dir/$what.exe" && [ "$what" = alone ] && exe="$dir/stub.exe"
      start=$(now)
      wine "$exe" > /dev/null 2>&1 || true
      echo $((($(now) - start) / 1000000)) >> "$dir/$what.times"
    done
  done
  alone=$(median < "$dir/alone.times") old=$(median < "$dir/base.times") fresh=$(median < "$dir/new.times")
  label="$((size / 1024)) KiB" && [ "$size" -ge 1048576 ] && label="$((size / 1048576)) MiB"
  printf '%-8s %10d %10d %10d %14d %14d\n' "$label" "$alone" "$old" "$fresh" $((old - alone)) $((fresh - alone))
done
