#!/usr/bin/env bash
# End-to-end runs of a loader build under Wine: loader_e2e.sh ARCH CASE
#   ARCH is i686 (the product, from WIN32_DIR) or x86_64 (its twin, from WIN64_DIR);
#   SFXPACK, WIN32_DIR, WIN64_DIR and WORK_DIR come from the environment (ctest sets them).
# Cases: stub-runs, long-path, no-windows-access, not-a-program, truncated, escaped-twice, huge-count,
#        planted-dll, flipped, signed, flags, leftovers
# Exits 77 (skipped) when this machine cannot run the i686 build, and long-path
# where this Wine cannot start a program of ARCH from a path past MAX_PATH.
set -euo pipefail

case_name=$2
source "$(dirname "$0")/wine_setup.sh" "$@"
what=$case_name case_name="$arch.$case_name"
work="$WORK_DIR/e2e-$case_name"
rm -rf "$work" && mkdir -p "$work"
windows="$WINEPREFIX/drive_c/windows"

temp_files() { find "$windows" -maxdepth 1 -iname 'zrw*.tmp' 2>/dev/null; }
temp_files | xargs -r rm -f

packed="$work/packed.exe"
report="$work/report.txt"
export SFX_REPORT; SFX_REPORT=$(winepath -w "$report")

case "$what" in
stub-runs | long-path | no-windows-access)
  # Rows: the stub's exit code, the folder, and whether the trailer is the
  # path itself or a shorter form that opens to the same file (an 8.3 path).
  # The second folder passes 128 characters (the length byte's top bit), the
  # third has letters no one ANSI code page holds; long-path's passes MAX_PATH.
  rows="7|$work|exact
0|$work/a-folder-name-long-enough-to-push-the-origin-path-of-the-packed-file-past-128-characters|exact
0|$work/Łukasz データ|opens"
  if [ "$what" = long-path ]; then
    long="$work"
    for i in 1 2 3 4 5; do long="$long/folder-$i-with-a-name-long-enough-to-pass-max-path-sooner"; done
    rows="0|$long|opens"
    # Wine with its 32-bit support installed cannot start a 64-bit program
    # from a path over MAX_PATH at all. A plain program of this build, started
    # from the same folder, tells whether this Wine can start anything there.
    mkdir -p "$long" && cp "$build/report_stub.exe" "$work/probe.exe" && cp "$build/report_stub.exe" "$long/probe.exe"
    wine "$work/probe.exe" > /dev/null 2>&1 || true
    [ -f "$report" ] || fail "the probe does not run even from a short path; the test shows nothing"
    rm -f "$report" "$report.self"
    wine "$long/probe.exe" > /dev/null 2>&1 || true
    if [ ! -f "$report" ]; then
      echo "SKIP ($case_name): this Wine cannot start an $arch program from a path of $((${#long} + 12)) characters (Z:$long/probe.exe)"
      exit 77
    fi
  fi
  temp_pattern='C:\\windows\\ZRW[0-9A-F]+\.TMP'
  if [ "$what" = no-windows-access ]; then
    # The stub goes to the user's temporary folder instead, started by its 8.3 path.
    other_user_setup
    export RUN_AS=as_other rows="0|$work|exact"
    temp_pattern='C:\\users\\sfxtest\\Łukasz データ\\ZRW[0-9A-F]+\.TMP'
    temp_files() { find "$windows" "$other_prefix/drive_c/windows" "$other_temp" -maxdepth 1 -iname 'zrw*.tmp'; }
  fi
  while IFS='|' read -r code folder trailer_is; do
    mkdir -p "$folder" && packed="$folder/packed.exe"
    "$SFXPACK" -qf pack "$build/report_stub.exe" --loader "$build/loader.exe" -o "$packed"
    [ -z "${RUN_AS:-}" ] || chown -R "$OTHER_UID" "$work"
    rm -f "$report" "$report.self"
    SFX_EXIT_CODE=$code run_packed "$packed" no
    [ "$exit_code" = 1 ] || fail "$folder: loader exit code $exit_code, want 1 (stub exited $code)"
    [ -f "$report" ] || fail "$folder: the stub did not run"
    sed -i 's/\r$//' "$report" # written in text mode on Windows
    grep -qx 'flags=0x81' "$report" || fail "startup flags: $(grep flags "$report")"
    grep -qx 'show=5' "$report" || fail "show state: $(grep show "$report")"
    command_line=$(sed -n 's/^command_line=//p' "$report")
    module=$(sed -n 's/^module=//p' "$report")
    shopt -s nocasematch
    [[ "$module" =~ ^$temp_pattern$ ]] || fail "stub path $module"
    # Its own path as its command line, in the ANSI code page: the long form
    # where that spells it, else the 8.3 one.
    [ "$command_line" = "$module" ] || [[ "$module" != "$command_line" && "$command_line" =~ \\${module##*\\}$ ]] ||
      fail "command line '$command_line' is not the stub's path '$module'"
    shopt -u nocasematch
    origin=$(winepath -w "$packed")
    trailer=$(sed -n 's/^trailer=//p' "$report")
    [ "$trailer_is" = opens ] || [ "$trailer" = "$origin" ] || fail "trailer '$trailer', want '$origin'"
    [ "$(sed -n 's/^origin_size=//p' "$report")" = "$(stat -c %s "$packed")" ] ||
      fail "$folder: the trailer '$trailer' does not open to the packed file"
    { cat "$build/report_stub.exe"; printf '%s' "$trailer"
      printf "\\x$(printf %02x $((${#trailer} & 255)))\\x$(printf %02x $((${#trailer} >> 8)))"; } > "$work/expected.self"
    cmp -s "$work/expected.self" "$report.self" || fail "$folder: the stub's file is not stub + path + length"
    [ -z "$(temp_files)" ] || fail "temporary file left behind: $(temp_files)"
  done <<< "$rows"
  ;;
not-a-program)
  printf 'this is not a Windows program\n' > "$work/text.txt"
  "$SFXPACK" -qf pack "$work/text.txt" --loader "$build/loader.exe" -o "$packed"
  run_packed "$packed" yes
  [ "$exit_code" = 0 ] || fail "exit code $exit_code, want 0"
  [ -z "$(temp_files)" ] || fail "temporary file left behind: $(temp_files)"
  ;;
truncated | escaped-twice | huge-count)
  # The first two carry the real stub, so starting what was decoded so far
  # would show in its report.
  "$SFXPACK" -qf pack "$build/report_stub.exe" --loader "$build/loader.exe" -o "$work/whole.exe"
  size=$(stat -c %s "$work/whole.exe")
  case "$what" in
  truncated) head -c $((32768 + (size - 32768) / 2)) "$work/whole.exe" > "$packed" ;;
  huge-count) cp "$work/whole.exe" "$packed"
    printf '\xff\xff\xff\x7f' | dd of="$packed" bs=1 seek=32768 conv=notrunc status=none ;;
  escaped-twice) head -c 32768 "$work/whole.exe" > "$packed"
    printf '\x02\x00\x00\x00\x98\x43\x08' >> "$packed" ;;
  esac
  run_packed "$packed" yes
  [ "$exit_code" = 0 ] || fail "exit code $exit_code, want 0"
  [ -z "$(temp_files)" ] || fail "temporary file left behind: $(temp_files)"
  [ ! -e "$report" ] || fail "something was started"
  ;;
planted-dll)
  # USER32 loads uxtheme.dll when the first window is made; told to prefer a
  # native copy, Wine looks in the program's folder first unless the loader
  # has restricted the search to the system folder.
  "$SFXPACK" -qf pack "$build/report_stub.exe" --loader "$build/loader.exe" -o "$packed"
  cp "$build/planted.dll" "$work/uxtheme.dll"
  # First show that the plant works: a program that makes a window without
  # the restriction does load it.
  cp "$build/window_probe.exe" "$work/probe.exe"
  WINEDLLOVERRIDES="$WINEDLLOVERRIDES;uxtheme=n,b" wine "$work/probe.exe" || fail "the probe did not run"
  [ -e "$work/uxtheme.dll.marker" ] || fail "the plant is not loaded even without the restriction; the test shows nothing"
  rm -f "$work/uxtheme.dll.marker"
  WINEDLLOVERRIDES="$WINEDLLOVERRIDES;uxtheme=n,b" run_packed "$packed" no
  [ ! -e "$work/uxtheme.dll.marker" ] || fail "the planted uxtheme.dll was loaded"
  [ "$exit_code" = 1 ] || fail "loader exit code $exit_code, want 1"
  [ -f "$report" ] || fail "the stub did not run"
  [ -z "$(temp_files)" ] || fail "temporary file left behind: $(temp_files)"
  ;;
flipped)
  # Single-bit flips that decode cleanly to a changed stub that still runs
  # once the record is zeroed (as if packed before records): with the record
  # the loader must refuse them.
  "$SFXPACK" -qf pack "$build/report_stub.exe" --loader "$build/loader.exe" -o "$work/whole.exe"
  end=$(stat -c %s "$work/whole.exe") found=0 exit_code=""
  for at in $(seq $((end - 1499)) -1499 $((end - 60000))); do
    cp "$work/whole.exe" "$packed"
    printf "\x$(printf %02x $(($(od -An -tu1 -j "$at" -N1 "$packed") ^ 8)))" | dd of="$packed" bs=1 seek="$at" conv=notrunc status=none
    cp "$packed" "$work/old.exe" && dd if=/dev/zero of="$work/old.exe" bs=1 seek=32728 count=40 conv=notrunc status=none
    "$SFXPACK" -qf unpack "$work/old.exe" -o "$work/changed.exe" 2>/dev/null || continue
    # The changed stub may crash, hang or not load at all: only one that ends
    # by itself, having written its report, counts.
    ! cmp -s "$work/changed.exe" "$build/report_stub.exe" && rm -f "$report" && run_packed "$work/old.exe" try
    [ "$exit_code" != stopped ] && [ -f "$report" ] && rm -f "$report" || continue # unchanged, or the flip breaks the program itself
    run_packed "$packed" yes
    [ "$exit_code" = 0 ] && [ ! -e "$report" ] && [ -z "$(temp_files)" ] ||
      fail "flip at byte $at: exit code $exit_code, want 0; started: $([ -e "$report" ] && echo yes); left: $(temp_files)"
    [ $((found += 1)) = 3 ] && break
  done
  [ "$found" = 3 ] || fail "only $found flips decode to a stub that runs; the test shows too little"
  ;;
signed)
  # Pack, sign last, verify; the stub finds its appended data through the
  # record, though the certificate table now ends the file.
  text='Appended data, signed: 42 bytes & "quotes".'
  printf '%s' "$text" > "$work/appended.txt"
  "$SFXPACK" -qf pack "$build/demo_stub.exe" --loader "$build/loader.exe" --append "$work/appended.txt" -o "$work/unsigned.exe"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=sfxpack test signer" -keyout "$work/key.pem" \
    -out "$work/cert.pem" -addext keyUsage=digitalSignature -addext extendedKeyUsage=codeSigning 2>/dev/null
  osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -in "$work/unsigned.exe" -out "$packed" >/dev/null
  osslsigncode verify -CAfile "$work/cert.pem" -in "$packed" >/dev/null || fail "the signature does not verify"
  "$SFXPACK" -q test "$packed" >/dev/null || fail "sfxpack test refuses the signed file"
  SFX_DEMO_REPORT="$SFX_REPORT" run_packed "$packed" yes "sfxpack demo stub"
  [ "$exit_code" = 1 ] && [ -z "$(temp_files)" ] || fail "exit code $exit_code, want 1; left: $(temp_files)"
  grep -qxF "Appended data (${#text} bytes, CRC-32 checked): \"$text\"" <(tr -d '\r' < "$report" 2>/dev/null) ||
    fail "the stub saw: $(cat "$report" 2>/dev/null)"
  ;;
flags)
  # As the record asks: the stub's exit code, the loader's arguments exactly
  # as given after the stub's path in quotes; a loader failure exits with
  # 536870912 + its error number (13, damaged data), with its box or silently.
  # The stub brings version information and a manifest, the file an icon of its own.
  "$SFXPACK" -qf pack "$build/identity_stub.exe" --loader "$build/loader.exe" -o "$packed" --pass-exit-code --pass-arguments \
    --icon "$(dirname "$0")/identity_b.ico" --version-string "ProductName=Grüße" --execution-level requireAdministrator
  SFX_EXIT_CODE=7 run_packed "$packed" no Error /S --foo "bar baz" 'say "hi"' 'back\slash' > "$work/out.txt" 2> "$work/err.txt"
  [ "$exit_code" = 7 ] || fail "exit code $exit_code, want the stub's 7"
  # Such a file hands its standard handles on to a console stub.
  grep -q "standard output" "$work/out.txt" && grep -q "standard error" "$work/err.txt" ||
    fail "the stub's output did not reach the caller's: '$(cat "$work/out.txt")'"
  command_line=$(sed -n 's/^command_line=//p' "$report" | tr -d '\r')
  module=$(sed -n 's/^module=//p' "$report" | tr -d '\r')
  [ "$command_line" = "\"$module\" /S --foo \"bar baz\" \"say \\\"hi\\\"\" back\\slash" ] || fail "command line: $command_line"
  size=$(stat -c %s "$packed") && rm -f "$report"
  for silent in "" --silent; do
    "$SFXPACK" -qf pack "$build/report_stub.exe" --loader "$build/loader.exe" -o "$work/whole.exe" --pass-exit-code $silent
    head -c $((32768 + (size - 32768) / 2)) "$work/whole.exe" > "$work/cut$silent.exe"
    run_packed "$work/cut$silent.exe" "$([ -n "$silent" ] && echo never || echo yes)"
    [ "$exit_code" = 13 ] && [ ! -e "$report" ] || fail "cut$silent: exit code $exit_code, want 536870925's low byte 13"
  done
  # A file that takes its arguments is silenced by the switch as its first.
  "$SFXPACK" -qf pack "$build/report_stub.exe" --loader "$build/loader.exe" -o "$work/whole.exe" --pass-exit-code --pass-arguments
  head -c $((32768 + (size - 32768) / 2)) "$work/whole.exe" > "$work/cut-args.exe"
  run_packed "$work/cut-args.exe" never Error /SFX:silent /S
  [ "$exit_code" = 13 ] && [ ! -e "$report" ] || fail "cut, /sfx:silent: exit code $exit_code, want 536870925's low byte 13"
  # The whole code, as a Windows caller sees it.
  printf '@"%%~1"\r\n@echo code=%%errorlevel%%\r\n' > "$work/code.bat"
  code=$(cd "$work" && { wine cmd /c code.bat cut--silent.exe || true; } | tr -d '\r')
  [ "$code" = code=536870925 ] || fail "the loader's code: $code, want 536870925"
  [ -z "$(temp_files)" ] || fail "temporary file left behind: $(temp_files)"
  ;;
leftovers)
  # What a killed loader leaves: temporary stubs, in the folder where the next
  # one writes its own, go once they are a few minutes old; a fresh one (a
  # loader still writing it) and files of other names stay.
  touch -d '20 minutes ago' "$windows/ZRW1A2B.TMP" "$windows/zrw3c.tmp" "$windows/ZRW1A2D.TMPX" "$windows/ZRW1A2E.txt"
  touch "$windows/ZRW1A2F.TMP"
  "$SFXPACK" -qf pack "$build/report_stub.exe" --loader "$build/loader.exe" -o "$packed"
  run_packed "$packed" no
  left=$(find "$windows" -maxdepth 1 \( -name 'ZRW1A2*' -o -name 'zrw3c*' \) -printf '%f\n' -delete | LC_ALL=C sort | tr '\n' ' ')
  [ "$exit_code" = 1 ] && [ -f "$report" ] || fail "exit code $exit_code, want 1, and the stub's report"
  [ "$left" = "ZRW1A2D.TMPX ZRW1A2E.txt ZRW1A2F.TMP " ] || fail "left: $left; want the fresh stub and the other names"
  ;;
*)
  fail "unknown case"
  ;;
esac
echo "PASS ($case_name)"
