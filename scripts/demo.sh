#!/usr/bin/env bash
# Packs the sample stub into build/demo.exe and bundles samples/bundle/ (with
# the sample command bundle_demo.exe) into build/demo-bundle.exe, and runs both
# under Wine: the 32-bit product where this machine runs 32-bit code, else its
# 64-bit twin.
#   demo.sh SFXPACK WIN32_BUILD_DIR WIN64_BUILD_DIR BUILD_DIR
set -euo pipefail
sfxpack=$(realpath "$1"); build=$(realpath "$4")
if why=$(bash "$(dirname "$0")/runs-32bit.sh" --wine); then
  windows=$(realpath "$2"); which="the 32-bit loader (the product)"
else
  windows=$(realpath "$3"); which="the 64-bit twin of the loader ($why)"
fi
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24 -noreset" "$0" "$@"
fi
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
# Wine's desktop process outlives the last window by a little: waited for,
# so that the display is not taken from under it.
trap 'wineserver -w 2> /dev/null || true' EXIT
[ -d "$WINEPREFIX/drive_c/windows" ] || { echo "Setting up a Wine prefix in $WINEPREFIX ..."; wineboot -i >/dev/null 2>&1; }

demo="$build/demo.exe"
printf 'Hello from the data appended after the payload' > "$build/demo-appended.txt"
"$sfxpack" pack -f "$windows/demo_stub.exe" --loader "$windows/loader.exe" --append "$build/demo-appended.txt" -o "$demo"
echo "== packed $demo"
"$sfxpack" info "$demo"

report="$build/demo-report.txt"
rm -f "$report"
export SFX_DEMO_REPORT; SFX_DEMO_REPORT=$(winepath -w "$report")
# run_shown EXE TITLE SCREENSHOT: runs EXE under Wine, saves the window titled
# TITLE when it appears and closes it; sets code to the exit code.
run_shown() {
  wine "$1" & local pid=$! window=""
  for _ in $(seq 1 150); do
    window=$(xdotool search --name "^$2\$" 2>/dev/null | head -n 1 || true)
    [ -n "$window" ] && break
    sleep 0.2
  done
  if [ -n "$window" ]; then
    sleep 0.5
    mkdir -p "$build/screenshots"
    import -window root "$build/screenshots/$3"
    xdotool key --window "$window" Return
    # A key the window missed (on a busy display) is made up for by pressing
    # its button from inside the Wine session.
    for _ in $(seq 1 60); do
      sleep 1 && kill -0 "$pid" 2>/dev/null || break
      wine "$windows/press_button.exe" "$2" "$window" > /dev/null 2>&1 || true
    done
  fi
  set +e; wait "$pid"; code=$?; set -e
}

echo "== running it under Wine: $which"
start=$(date +%s%N)
run_shown "$demo" 'sfxpack demo stub' demo.png
elapsed_ms=$(( ($(date +%s%N) - start) / 1000000 ))

echo "== what the unpacked stub saw (its message box: build/screenshots/demo.png)"
if [ -f "$report" ]; then tr -d '\r' < "$report"; else echo "(no report: the stub did not run)"; fi
left=$(find "$WINEPREFIX/drive_c/windows" -maxdepth 1 -iname 'zrw*.tmp' | wc -l)
echo "== loader exit code $code (1 means the stub ran), temporary files left: $left, ${elapsed_ms} ms including the time the box was open"
[ "$code" = 1 ] && [ -f "$report" ] && [ "$left" = 0 ] || exit 1

# A folder: samples/bundle/ and the sample command beside it.
staging="$build/demo-bundle"
rm -rf "$staging" && cp -r "$(dirname "$0")/../samples/bundle" "$staging" && cp "$windows/bundle_demo.exe" "$staging/"
bundled="$build/demo-bundle.exe"
"$sfxpack" bundle -f "$staging" -o "$bundled" --run 'bundle_demo.exe "Hallo Welt" 42' --title "sfxpack Beispiel" \
  --loader "$windows/loader.exe" --extractor "$windows/extractor.exe"
echo "== bundled $bundled"
"$sfxpack" list "$bundled"
rm -f "$report"
echo "== running it under Wine"
run_shown "$bundled" 'sfxpack bundle demo' demo-bundle.png
echo "== what the bundle's command saw (its message box: build/screenshots/demo-bundle.png)"
if [ -f "$report" ]; then tr -d '\r' < "$report"; else echo "(no report: the command did not run)"; fi
left=$(find "$WINEPREFIX/drive_c/users" -maxdepth 4 -name 'sfx-*' | wc -l)
echo "== exit code $code (the command's, passed on), extraction folders left: $left"
[ "$code" = 0 ] && [ -f "$report" ] && [ "$left" = 0 ]
