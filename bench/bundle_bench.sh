#!/usr/bin/env bash
# Bundles against the best archivers and an installer, on the folders
# bundle_folders.sh builds: bundle_bench.sh SFXPACK WINDOWS_BUILD BENCH_DIR [RUNS]
# Prints, per folder (BENCH_FOLDERS, by default all), the bytes of our bundle (default level), tar | xz -9e,
# 7-Zip -mx9 and an NSIS installer (solid LZMA, 64 MiB dictionary, silent,
# unpacking to $PLUGINSDIR and waiting for the same command); the seconds
# the bundle, xz and 7-Zip took to build and the most memory the bundle and
# 7-Zip held (GNU time; the machine's other work shows in them, so the bundle
# and 7-Zip build in turn BENCH_BUILDS times, 3 by default, and the medians
# are printed; xz builds once); then, under
# Wine, the run time from start to exit of our bundle and of the installer,
# RUNS (default 5) alternating runs each, medians. The command is a trivial
# program put into the folder as run.exe: a 2 KB window program that exits
# at once, so that the figures are the folders' and not its. Under a virtual
# display when there is none: the progress window is part of what is timed.
set -euo pipefail
[ -n "${DISPLAY:-}" ] || exec xvfb-run -a -s "-screen 0 1024x768x24 -noreset" bash "$0" "$@"
sfxpack=$(realpath "$1") windows=$(realpath "$2") dir=$(realpath "$3") runs=${4:-5}
builds=${BENCH_BUILDS:-3}
folders=${BENCH_FOLDERS:-A B C T}
export WINEPREFIX="$dir/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
[ -d "$WINEPREFIX/drive_c/windows" ] || { wineboot -i > /dev/null 2>&1; wineserver -w; }
# With no window manager on the virtual display, Wine waits 2 s for each
# closed window's withdrawal, which no desktop does: Wine itself places the
# windows here.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f > /dev/null 2>&1
wineserver -p 600 2>/dev/null || true # kept up, so Wine's start is not what is timed
trap 'wineserver -k 2> /dev/null || true' EXIT
target=amd64-unicode loader=$windows/loader.exe compiler=x86_64-w64-mingw32-gcc entry=run
[ "$(basename "$windows")" = win32 ] && target=x86-unicode compiler=i686-w64-mingw32-gcc entry=_run
printf '#include <windows.h>\nvoid run(void) { ExitProcess(0); }\n' > "$dir/run.c"
$compiler -Os -s -nostdlib -mwindows -Wl,-e,$entry "$dir/run.c" -o "$dir/run.exe" -lkernel32

median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
seconds() { local start end; start=$(date +%s%N); wine "$@" > /dev/null 2>&1 || true; end=$(date +%s%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", (b - a) / 1e9 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.3f", a / b; else printf "-" }'; } # '-': under 0.05 s
# timed LOG COMMAND...: GNU time's report in LOG; wall and peak read it back
# as seconds and KB.
timed() { local log=$1; shift; /usr/bin/time -v -o "$log" "$@"; }
wall() { awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, p, ":"); s = 0
  for (i = 1; i <= n; i++) s = s * 60 + p[i]; printf "%.1f\n", s }' "$1"; }
peak() { awk -F': ' '/Maximum resident set size/ { print $2 }' "$1"; }
# of_builds DIR wall|peak bundle|7z: the median over the builds in turn.
of_builds() { local log; for log in "$1/$3".time.*; do "$2" "$log"; done | median; }

printf '%-6s %12s %12s %12s %12s %12s %8s %8s\n' folder bytes bundle 'xz -9e' '7zz -mx9' installer 'b/7z' 'b/inst'
for name in $folders; do
  folder="$dir/$name"
  cp "$dir/run.exe" "$folder/run.exe"
  out="$dir/out-$name" && rm -rf "$out" && mkdir -p "$out"
  for build in $(seq "$builds"); do
    timed "$out/bundle.time.$build" "$sfxpack" -qf bundle "$folder" -o "$out/bundle.exe" --run run.exe \
      --loader "$loader" --extractor "$windows/extractor.exe"
    rm -f "$out/folder.7z" # else 7-Zip updates it
    (cd "$folder" && timed "$out/7z.time.$build" 7zz a -mx9 -bd -bso0 "$out/folder.7z" . > /dev/null)
  done
  timed "$out/xz.time" bash -c 'tar -C "$1" -cf - . | xz -9e -T1 > "$2"' - "$folder" "$out/folder.tar.xz"
  cat > "$out/installer.nsi" <<NSI
Unicode true
Target $target
OutFile "$out/installer.exe"
SetCompressor /SOLID lzma
SetCompressorDictSize 64
SilentInstall silent
RequestExecutionLevel user
Section
  InitPluginsDir
  SetOutPath "\$PLUGINSDIR\\app"
  File /r "$folder/*"
  ExecWait '"\$PLUGINSDIR\\app\\run.exe"'
  SetOutPath "\$TEMP"
SectionEnd
NSI
  makensis -V1 "$out/installer.nsi" > /dev/null
  size() { stat -c %s "$1"; }
  b=$(size "$out/bundle.exe") z=$(size "$out/folder.7z") i=$(size "$out/installer.exe")
  printf '%-6s %12s %12s %12s %12s %12s %8.3f %8.3f\n' "$name" "$(du -sb "$folder" | cut -f1)" "$b" \
    "$(size "$out/folder.tar.xz")" "$z" "$i" "$(ratio "$b" "$z")" "$(ratio "$b" "$i")"
  rm -f "$folder/run.exe"
done

echo
printf '%-6s %9s %9s %9s %8s %11s %11s %8s\n' folder 'bundle s' 'xz -9e s' '7zz s' 'b/7z' 'bundle KB' '7zz KB' 'b/7z'
for name in $folders; do
  out="$dir/out-$name"
  tb=$(of_builds "$out" wall bundle) tz=$(of_builds "$out" wall 7z)
  mb=$(of_builds "$out" peak bundle) mz=$(of_builds "$out" peak 7z)
  printf '%-6s %9s %9s %9s %8s %11s %11s %8s\n' "$name" "$tb" "$(wall "$out/xz.time")" "$tz" "$(ratio "$tb" "$tz")" \
    "$mb" "$mz" "$(ratio "$mb" "$mz")"
done

echo
printf '%-6s %12s %12s %8s   (Wine, seconds, median of %s alternating runs)\n' folder bundle installer ratio "$runs"
for name in $folders; do
  out="$dir/out-$name"
  : > "$out/bundle.times" && : > "$out/installer.times"
  for _ in $(seq 1 "$runs"); do
    seconds "$out/bundle.exe" >> "$out/bundle.times"
    seconds "$out/installer.exe" >> "$out/installer.times"
  done
  tb=$(median < "$out/bundle.times") ti=$(median < "$out/installer.times")
  printf '%-6s %12.2f %12.2f %8.3f\n' "$name" "$tb" "$ti" "$(ratio "$tb" "$ti")"
done
