#!/usr/bin/env bash
# Bundles (the extractor behind a loader) end to end under Wine: bundle_e2e.sh ARCH CASE
#   ARCH i686 (from WIN32_DIR) or x86_64 (from WIN64_DIR); CASE runs, unicode,
#   no-windows-access, signed, hostile, unattended, system-programs or archive.
#   SFXPACK, WIN32_DIR, WIN64_DIR, WORK_DIR, HOSTILE_BUNDLE come from ctest.
# Exits 77 (skipped) when this machine cannot run the i686 build.
set -euo pipefail

case_name=$2
source "$(dirname "$0")/wine_setup.sh" "$@"
what=$case_name case_name="$arch.bundle-$case_name"
work="$WORK_DIR/e2e-$case_name" packed="$WORK_DIR/e2e-$case_name/packed.exe" report="$WORK_DIR/e2e-$case_name/report.txt"
rm -rf "$work" && mkdir -p "$work"

# Extraction folders in the Wine user's temporary folder (and the second
# user's), and the loader's temporary files.
users=("$WINEPREFIX/drive_c/users" "$other_prefix/drive_c/users")
leftovers() { find "${users[@]}" "$WINEPREFIX/drive_c/windows" -maxdepth 4 \( -name 'sfx-*' -o -iname 'zrw*.tmp' \) 2>/dev/null || true; }
leftovers | while IFS= read -r left; do rm -rf "$left"; done
trap 'find "${users[@]}" -maxdepth 4 -name bundle-check-linger.exe -delete 2>/dev/null || true' EXIT

# The extractor as the loader leaves it: its file, the origin's path, 2 length bytes.
with_trailer() {
  local origin; origin=$(winepath -w "$1")
  { cat "$build/extractor.exe"; printf '%s' "$origin"
    printf "\\x$(printf %02x $((${#origin} & 255)))\\x$(printf %02x $((${#origin} >> 8)))"; } > "$2"
}

# A folder of nested and non-ASCII names, an empty file, a large one, random
# bytes (stored as they are), a path beyond MAX_PATH once under the temporary
# folder, and the checker; bundled
# with an icon and version information.
bundle_folder() {
  local src="$work/src" deep="$work/src/a"
  mkdir -p "$src/Grüße" "$src/日本語" "$src/a/b/c"
  printf 'Ärger\r\n' > "$src/Grüße/Ärger.txt"
  printf '\x00\x01\xff' > "$src/日本語/ファイル.bin"
  : > "$src/a/b/c/leer.txt"
  seq 1 700000 > "$src/a/groß.bin" # about 4.6 MB
  head -c 300000 /dev/urandom > "$src/Grüße/zufällig.dat"
  for i in 1 2 3 4 5; do deep="$deep/folder-$i-with-a-name-long-enough-to-pass-max-path-sooner"; done
  mkdir -p "$deep" && printf 'deep\n' > "$deep/tief.txt"
  cp "$build/bundle_check.exe" "$src/check.exe"
  "$SFXPACK" -qf bundle "$src" -o "$1" --loader "$build/loader.exe" --extractor "$build/extractor.exe" \
    --icon "$(dirname "$0")/identity_a.ico" --version-string "ProductName=Prüfung" --file-version 1.2.3.4 \
    --title "Prüfung" --run "check.exe \"$(winepath -w "$src")\" \"$(winepath -w "$report")\" 42 \"two words\" Grüße" "${@:2}"
}

# Runs the checker's bundle (or the extractor with its trailer), with any
# further arguments: the exit code, the checker's report, its lingering
# descendant, no folder left.
check_run() {
  rm -f "$report"
  run_packed "$1" no Error "${@:3}"
  [ "$exit_code" = "$2" ] || fail "$1: exit code $exit_code, want $2"
  grep -q '^all good' "$report" 2>/dev/null || fail "$1: the checker found: $(cat "$report" 2>/dev/null)"
  grep -qx lingered "$report" || fail "$1: the extractor did not wait for what the command left running"
  [ -z "$(leftovers)" ] || fail "$1: extraction folder left behind: $(leftovers)"
}

# run_boxes EXE TITLE:KEY,... [ARGS...]: runs EXE with ARGS and answers the
# windows it opens in turn, each titled TITLE with KEY (Return, Escape); sets
# exit_code.
run_boxes() {
  local exe=$1 box window
  IFS=, read -ra boxes <<< "$2"
  shift 2
  wine "$exe" "$@" & local pid=$!
  for box in "${boxes[@]}"; do
    window=""
    for _ in $(seq 1 150); do
      window=$(xdotool search --name "^${box%:*}\$" 2>/dev/null | head -n 1 || true)
      [ -n "$window" ] || ! kill -0 "$pid" 2>/dev/null || { sleep 0.2; continue; }
      break
    done
    [ -n "$window" ] || { kill "$pid" 2>/dev/null; fail "$exe $*: no window titled ${box%:*}"; }
    sleep 0.5 # let it paint
    import -window root "$WORK_DIR/screenshots/$case_name-${box%:*}.png"
    # A key sent to a window without the focus may be lost on a busy display:
    # pressed again now and then, every other time through the focus.
    xdotool key --window "$window" "${box##*:}"
    local start=$SECONDS tries=0
    while sleep 0.2 && xdotool search --name "^${box%:*}\$" 2>/dev/null | grep -qx "$window"; do
      [ $((SECONDS - start)) -lt 60 ] || { kill "$pid"; fail "$exe $*: the window titled ${box%:*} stayed"; }
      [ $((++tries % 25)) = 0 ] || continue
      if [ $((tries % 50)) = 0 ]; then
        xdotool key --window "$window" "${box##*:}" 2>/dev/null || true
      else
        xdotool windowfocus "$window" key "${box##*:}" 2>/dev/null || true
      fi
    done
  done
  set +e
  wait "$pid"
  exit_code=$?
  set -e
}

# What a folder holds: each folder, file (its time and checksum) and link; "none" when it is not there.
holds() {
  [ -e "$1" ] || [ -L "$1" ] || { echo none; return; }
  (cd "$1" && find . -mindepth 1 | sort | while IFS= read -r f; do
    if [ -L "$f" ]; then echo "$f -> $(readlink "$f")"; elif [ -d "$f" ]; then echo "$f/"
    else echo "$f $(stat -c %Y "$f") $(md5sum < "$f")"; fi
  done)
}

if [ "$what" = unicode ]; then
  # Letters no one ANSI code page holds: the trailer is the 8.3 path, the
  # command still sees the long one.
  mkdir -p "$work/Łukasz データ" && packed="$work/Łukasz データ/packed.exe"
fi
export SFX_EXPECT_ORIGIN; SFX_EXPECT_ORIGIN=$(winepath -w "$packed")
case "$what" in
runs | unicode)
  bundle_folder "$packed"
  "$SFXPACK" info --json "$packed" | grep -q '"stored_size": [1-9]' || fail "the random file is not stored"
  check_run "$packed" 42 # bundle asks the loader to pass the command's code on
  [ "$what" = unicode ] || { with_trailer "$packed" "$work/direct.exe" && check_run "$work/direct.exe" 42; }
  ;;
no-windows-access)
  # The loader puts the extractor into the user's temporary folder, whose
  # name the ANSI code page cannot spell; it extracts beside itself there.
  other_user_setup
  bundle_folder "$packed"
  chown -R "$OTHER_UID" "$work"
  RUN_AS=as_other check_run "$packed" 42
  ;;
signed)
  bundle_folder "$work/unsigned.exe"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=sfxpack test signer" -keyout "$work/key.pem" \
    -out "$work/cert.pem" -addext keyUsage=digitalSignature -addext extendedKeyUsage=codeSigning 2>/dev/null
  osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -in "$work/unsigned.exe" -out "$packed" >/dev/null
  osslsigncode verify -CAfile "$work/cert.pem" -in "$packed" >/dev/null || fail "the signature does not verify"
  check_run "$packed" 42
  ;;
hostile)
  # Each archive holds run.exe (the report stub, its command) and a file
  # before the refused entry: nothing may run, nor stay written, here or
  # anywhere on drive C.
  export SFX_REPORT; SFX_REPORT=$(winepath -w "$report")
  for kind in parent device symlink fold truncated lzma-properties lzma-huge lzma-shorter lzma-cut split-flags stored-sizes; do
    "${HOSTILE_BUNDLE:?}" "$kind" "$build/loader.exe" "$build/extractor.exe" "$build/report_stub.exe" "$work/$kind.exe"
    with_trailer "$work/$kind.exe" "$work/$kind-direct.exe"
    touch "$work/before" && sleep 1
    run_packed "$work/$kind-direct.exe" yes
    written=$(find "$WINEPREFIX/drive_c" -newer "$work/before" -not -type d 2>/dev/null)
    [ "$exit_code" = 255 ] && [ ! -e "$report" ] && [ -z "$written" ] && [ -z "$(leftovers)" ] ||
      fail "$kind: exit code $exit_code, want 255; ran: $([ -e "$report" ] && echo yes); written: $written $(leftovers)"
  done
  # A bundle of the first version still runs its command; so does one
  # whose LZMA stream comes in two slices.
  for kind in version1 sliced; do
    "$HOSTILE_BUNDLE" $kind "$build/loader.exe" "$build/extractor.exe" "$build/report_stub.exe" "$work/$kind.exe"
    with_trailer "$work/$kind.exe" "$work/$kind-direct.exe"
    run_packed "$work/$kind-direct.exe" no
    [ -e "$report" ] && [ -z "$(leftovers)" ] || fail "$kind: exit code $exit_code; ran: $([ -e "$report" ] && echo yes)"
    rm -f "$report"
  done
  run_packed "$work/parent.exe" yes
  [ "$exit_code" = 1 ] && [ ! -e "$report" ] && [ -z "$(leftovers)" ] ||
    fail "through the loader: exit code $exit_code, want 1; ran: $([ -e "$report" ] && echo yes); left: $(leftovers)"
  ;;
unattended)
  # The file's arguments, spaces and quotes too, after the bundle's own; the
  # extractor takes /sfx:silent for itself.
  bundle_folder "$packed"
  SFX_EXPECT_EXTRA='/S|bar baz|say "hi"|' check_run "$packed" 42 /S "bar baz" 'say "hi"'
  SFX_EXPECT_EXTRA='--x|' check_run "$packed" 42 /SFX:Silent --x
  # Extracting only runs nothing; keeping leaves the folder the command ran
  # in, under a name no later extractor takes for one left behind.
  rm -f "$report" && run_packed "$packed" never Error /sfx:silent "/sfx:extract=$(winepath -w "$work/only")"
  [ "$exit_code" = 0 ] && [ ! -e "$report" ] && diff -r "$work/src" "$work/only" > /dev/null ||
    fail "/sfx:extract: exit code $exit_code; ran: $([ -e "$report" ] && echo yes); $(diff -r "$work/src" "$work/only" 2>&1 | head -3)"
  run_packed "$packed" never Error /sfx:silent /sfx:keep
  kept=$(leftovers)
  [ "$exit_code" = 42 ] && grep -q '^all good' "$report" && [[ $kept == */sfx-*-kept ]] && diff -r "$work/src" "$kept" > /dev/null ||
    fail "/sfx:keep: exit code $exit_code, left: $kept; $(cat "$report")"
  rm -rf "$kept"
  # Told not to wait (by the switch, or when bundled so), it ends with its
  # command, while what the command started still runs.
  export SFX_LINGER_UNTIL; SFX_LINGER_UNTIL=$(winepath -w "$work/release")
  for switch in /sfx:nowait ""; do
    [ -n "$switch" ] || bundle_folder "$packed" --wait command
    rm -f "$report" "$work/release"
    run_packed "$packed" no Error $switch
    [ "$exit_code" = 42 ] && grep -q '^all good' "$report" && ! grep -qx lingered "$report" && [ -z "$(leftovers)" ] ||
      fail "not waiting ($switch): exit code $exit_code, left: $(leftovers); $(cat "$report")"
    touch "$work/release"
    for _ in $(seq 1 600); do pgrep -f bundle-check-linger > /dev/null || break; sleep 0.2; done
    grep -qx lingered "$report" || fail "not waiting ($switch): the command's descendant did not end"
  done
  unset SFX_LINGER_UNTIL
  # A console command's output reaches the caller's redirection, through the loader and the extractor.
  mkdir -p "$work/small" && printf 'x\n' > "$work/small/x.txt"
  "$SFXPACK" -qf bundle "$work/small" -o "$work/echo.exe" --loader "$build/loader.exe" --extractor "$build/extractor.exe" \
    --run 'cmd /c echo handed on'
  # Before it makes its own, the extractor removes what killed ones left:
  # folders of its names, unchanged for some minutes; others stay, and so
  # does an old one still in use (a bundle running a long command).
  temp=$(find "$WINEPREFIX/drive_c/users" -mindepth 2 -maxdepth 2 -name Temp | head -n 1)
  "$SFXPACK" -qf bundle "$work/small" -o "$work/long.exe" --loader "$build/loader.exe" --extractor "$build/extractor.exe" \
    --run 'cmd /c ping -n 600 127.0.0.1'
  wine "$work/long.exe" > /dev/null 2>&1 &
  for _ in $(seq 1 600); do
    live=$(find "$temp" -maxdepth 1 -name 'sfx-*' -printf '%f') && [ -n "$live" ] && break
    sleep 0.1
  done
  [ -n "$live" ] || fail "the long bundle made no folder"
  stale=("$temp/sfx-0123456789abcdef" "$temp/sfx-fedcba9876543210~" "$temp/sfx-other")
  mkdir -p "${stale[@]/%//sub}" "$temp/sfx-1111111111111111" && touch "$temp/sfx-0123456789abcdef/sub/file"
  touch -d '20 minutes ago' "${stale[@]}" "$temp/$live"
  run_packed "$work/echo.exe" never > "$work/out.txt"
  grep -q 'handed on' "$work/out.txt" || fail "the command's output did not reach the caller's: '$(cat "$work/out.txt")'"
  left=$(find "$temp" -maxdepth 1 -name 'sfx-*' -printf '%f\n' | LC_ALL=C sort | tr '\n' ' ')
  wineserver -k && wait || true
  leftovers | while IFS= read -r gone; do rm -rf "$gone"; done
  [ "$left" = "$(printf '%s\n' sfx-1111111111111111 "$live" sfx-other | LC_ALL=C sort | tr '\n' ' ')" ] ||
    fail "left in the temporary folder: $left"
  # Made silent, its archive damaged: no window, and it ends by itself with the extractor's code.
  "$SFXPACK" -qf bundle "$work/src" -o "$packed" --loader "$build/loader.exe" --extractor "$build/extractor.exe" \
    --run check.exe --silent
  last=$(tail -c 1 "$packed" | od -An -tu1 | tr -d ' ') # flipped, whatever it was
  printf "\\x$(printf %02x $((last ^ 0xff)))" | dd of="$packed" bs=1 seek=$(($(stat -c %s "$packed") - 1)) conv=notrunc status=none
  run_packed "$packed" never
  [ "$exit_code" = 255 ] && [ -z "$(leftovers)" ] || fail "silent and damaged: exit code $exit_code, want 255; left: $(leftovers)"
  ;;
system-programs)
  # cmd and msiexec only from the system folder: the copies of the report
  # stub planted in the current folder and on PATH must never run. A program
  # in the folder is found in any case.
  export SFX_REPORT; SFX_REPORT=$(winepath -w "$report")
  cd "$work" && mkdir small planted && cp "$build/report_stub.exe" small/probe.exe
  wine msiexec /i nothing.msi /qn && msiexec_code=0 || msiexec_code=$?
  for program in cmd msiexec; do cp "$build/report_stub.exe" "$program.exe" && cp "$program.exe" planted/; done
  while IFS='|' read -r command want ran; do
    "$SFXPACK" -qf bundle small -o "$packed" --loader "$build/loader.exe" --extractor "$build/extractor.exe" --run "$command"
    rm -f "$report"
    SFX_EXIT_CODE=7 WINEPATH=$(winepath -w planted) run_packed "$packed" no
    [ "$exit_code" = "$(eval echo "$want")" ] && [ "$([ -e "$report" ] && echo yes || echo no)" = "$ran" ] ||
      fail "$command: exit code $exit_code, want $(eval echo "$want"); the probe ran: $([ -e "$report" ] && echo yes || echo no), want $ran"
  done <<'ROWS'
PROBE.EXE|7|yes
cmd /c exit 7|7|no
cmd.exe /c "if exist probe.exe exit 9"|9|no
msiexec /i nothing.msi /qn|$msiexec_code|no
ROWS
  [ -z "$(leftovers)" ] || fail "extraction folder left behind: $(leftovers)"
  ;;
archive)
  # An archive (no command) into the folder asked for, over older files as
  # each policy says, never through a link planted there, taken back whole
  # when cancelled at the question; the dialog; the switches' box in three
  # languages. The archive's target is %SFX_TEST_FOLDER%\Fotos: $work/Fotos.
  src="$work/src" folder="$work/Fotos" older="$work/older" outside="$work/outside"
  mkdir -p "$src/sub" "$older" "$outside"
  head -c 3000 /dev/urandom > "$src/a.bin" && printf 'b\r\n' > "$src/sub/b.txt" && printf 'z\n' > "$src/z.txt"
  printf old > "$older/z.txt" && printf mine > "$older/mine.txt" && printf outside > "$outside/z.txt"
  touch -d @1000000000 "$src"/*.* "$src/sub/b.txt" && touch -d @1 "$older"/*
  "$SFXPACK" -qf bundle "$src" -o "$packed" --loader "$build/loader.exe" --extractor "$build/extractor.exe" \
    --title Fotos --target '%SFX_TEST_FOLDER%\Fotos'
  export SFX_TEST_FOLDER; SFX_TEST_FOLDER=$(winepath -w "$work") && to="/sfx:extract=$(winepath -w "$folder")"
  # what|switches|the folder before|boxes answered|exit code (its low 8 bits: 199 for 1223, cancelled)|the folder after
  while IFS='|' read -r row switches before boxes want after; do
    rm -rf "$folder" "$work/want"
    case $before in
    older) cp -a "$older" "$folder" ;;
    link-below) cp -a "$older" "$folder" && ln -s "$outside" "$folder/sub" ;;
    link-file) cp -a "$older" "$folder" && ln -sf "$outside/z.txt" "$folder/z.txt" ;;
    link-folder) ln -s "$outside" "$folder" ;;
    esac
    case $after in
    new) cp -a "$src" "$work/want" ;;
    kept) cp -a "$src" "$work/want" && cp -a "$older/." "$work/want" ;;
    replaced) cp -a "$older" "$work/want" && cp -a "$src/." "$work/want" ;;
    before) cp -a "$folder" "$work/want" 2>/dev/null || true ;;
    esac
    outside_before=$(holds "$outside")
    eval "run_boxes \"\$packed\" \"\$boxes\" $switches"
    [ "$exit_code" = "$want" ] && [ "$(holds "$folder")" = "$(holds "$work/want")" ] && [ "$(holds "$outside")" = "$outside_before" ] ||
      fail "$row: exit code $exit_code, want $want; $(diff <(holds "$folder") <(holds "$work/want") | head -5)"
  done <<'ROWS'
silent: to the target|/sfx:silent|-||0|new
silent, over older files: kept|/sfx:silent "$to"|older||80|kept
replaced|/sfx:silent "$to" /sfx:overwrite=always|older||0|replaced
kept, told so|"$to" /sfx:overwrite=never|older|Fotos:Return|80|kept
asked: Yes|"$to"|older|Extracting:Return,Fotos:Return|0|replaced
asked: Cancel|"$to"|older|Extracting:Escape|199|before
the dialog's Extract||-|Fotos:Return,Fotos:Return|0|new
the dialog's Cancel||older|Fotos:Escape|199|before
a link below|/sfx:silent /sfx:overwrite=always|link-below||255|before
a link for a file|/sfx:silent /sfx:overwrite=always|link-file||255|before
a link for the folder|/sfx:silent|link-folder||255|before
ROWS
  # The switches' box, in the user's language (Wine's from LANG).
  locales="$WORK_DIR/locales" && mkdir -p "$WORK_DIR/locales"
  for locale in fr_FR ja_JP; do
    [ -d "$locales/$locale.UTF-8" ] || localedef -i $locale -f UTF-8 "$locales/$locale.UTF-8" ||
      fail "cannot make the locale $locale"
  done
  while IFS='|' read -r language title; do
    LANG=$language LOCPATH=$locales run_boxes "$packed" "$title:Return" /sfx:help
    [ "$exit_code" = 0 ] || fail "/sfx:help under $language: exit code $exit_code"
  done <<'ROWS'
C.UTF-8|Command-line switches
fr_FR.UTF-8|Options de ligne de commande
ja_JP.UTF-8|コマンド ライン スイッチ
ROWS
  ;;
*)
  fail "unknown case"
  ;;
esac
echo "PASS ($case_name)"
