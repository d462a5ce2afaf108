#!/usr/bin/env bash
# Bundles (the extractor behind a loader) end to end under Wine: bundle_e2e.sh ARCH CASE
#   ARCH i686 (from WIN32_DIR) or x86_64 (from WIN64_DIR); CASE runs, signed or hostile.
#   SFXPACK, WIN32_DIR, WIN64_DIR, WORK_DIR, HOSTILE_BUNDLE come from ctest.
# Exits 77 (skipped) when this machine cannot run the i686 build.
set -euo pipefail

arch=$1 case_name=$2
: "${SFXPACK:?}" "${WIN32_DIR:?}" "${WIN64_DIR:?}" "${WORK_DIR:?}"
if [ "$arch" = i686 ] && ! why=$(bash "$(dirname "$0")/../../scripts/runs-32bit.sh" --wine); then
  echo "SKIP: the 32-bit build cannot run here: $why"
  exit 77
fi
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

WORK_DIR=$(realpath "$WORK_DIR"); SFXPACK=$(realpath "$SFXPACK")
case "$arch" in
i686) build=$(realpath "$WIN32_DIR") ;;
x86_64) build=$(realpath "$WIN64_DIR") ;;
*) echo "unknown architecture $arch" >&2; exit 1 ;;
esac
export WINEPREFIX="$WORK_DIR/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
what=$case_name case_name="$arch.bundle-$case_name"
work="$WORK_DIR/e2e-$case_name" packed="$WORK_DIR/e2e-$case_name/packed.exe" report="$WORK_DIR/e2e-$case_name/report.txt"
rm -rf "$work" && mkdir -p "$work" "$WORK_DIR/screenshots"

fail() { echo "FAIL ($case_name): $*" >&2; exit 1; }
# Extraction folders in the Wine user's temporary folder.
leftovers() { find "$WINEPREFIX/drive_c/users" -maxdepth 4 -name 'sfx-*' 2>/dev/null; }
[ -d "$WINEPREFIX/drive_c/windows" ] || wineboot -i >/dev/null 2>&1
wineserver -w || true
leftovers | xargs -r rm -rf
trap 'find "$WINEPREFIX/drive_c/users" -maxdepth 4 -name bundle-check-linger.exe -delete' EXIT

# Runs a program, dismissing the error box when one must appear; sets exit_code.
run_exe() {
  wine "$1" & local pid=$! window=""
  if [ "$2" = yes ]; then
    for _ in $(seq 1 150); do
      window=$(xdotool search --name '^Error$' 2>/dev/null | head -n 1 || true)
      [ -n "$window" ] && break
      sleep 0.2
    done
    [ -n "$window" ] || { kill "$pid" 2>/dev/null; fail "no error box appeared"; }
    sleep 0.5 # let it paint
    import -window root "$WORK_DIR/screenshots/$case_name.png"
    xdotool key --window "$window" Return
  fi
  set +e; wait "$pid"; exit_code=$?; set -e
}

# The extractor as the loader leaves it: its file, the origin's path, 2 length bytes.
with_trailer() {
  local origin; origin=$(winepath -w "$1")
  { cat "$build/extractor.exe"; printf '%s' "$origin"
    printf "\\x$(printf %02x $((${#origin} & 255)))\\x$(printf %02x $((${#origin} >> 8)))"; } > "$2"
}

# A folder of nested and non-ASCII names, an empty file, a large one, a path
# beyond MAX_PATH once under the temporary folder, and the checker; bundled.
bundle_folder() {
  local src="$work/src" deep="$work/src/a"
  mkdir -p "$src/Grüße" "$src/日本語" "$src/a/b/c"
  printf 'Ärger\r\n' > "$src/Grüße/Ärger.txt"
  printf '\x00\x01\xff' > "$src/日本語/ファイル.bin"
  : > "$src/a/b/c/leer.txt"
  seq 1 700000 > "$src/a/groß.bin" # about 4.6 MB
  for i in 1 2 3 4 5; do deep="$deep/folder-$i-with-a-name-long-enough-to-pass-max-path-sooner"; done
  mkdir -p "$deep" && printf 'deep\n' > "$deep/tief.txt"
  cp "$build/bundle_check.exe" "$src/check.exe"
  "$SFXPACK" -qf bundle "$src" -o "$1" --loader "$build/loader.exe" --extractor "$build/extractor.exe" \
    --title "Prüfung" --run "check.exe \"$(winepath -w "$src")\" \"$(winepath -w "$report")\" 42 \"two words\" Grüße"
}

# Runs the checker's bundle (or the extractor with its trailer): the exit
# code, the checker's report, its lingering descendant, no folder left.
check_run() {
  rm -f "$report"
  run_exe "$1" no
  [ "$exit_code" = "$2" ] || fail "$1: exit code $exit_code, want $2"
  grep -q '^all good' "$report" 2>/dev/null || fail "$1: the checker found: $(cat "$report" 2>/dev/null)"
  grep -qx lingered "$report" || fail "$1: the extractor did not wait for what the command left running"
  [ -z "$(leftovers)" ] || fail "$1: extraction folder left behind: $(leftovers)"
}

export SFX_EXPECT_ORIGIN; SFX_EXPECT_ORIGIN=$(winepath -w "$packed")
case "$what" in
runs)
  bundle_folder "$packed"
  check_run "$packed" 1 # the loader's exit code, whatever its stub's
  with_trailer "$packed" "$work/direct.exe"
  check_run "$work/direct.exe" 42
  ;;
signed)
  bundle_folder "$work/unsigned.exe"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=sfxpack test signer" -keyout "$work/key.pem" \
    -out "$work/cert.pem" -addext keyUsage=digitalSignature -addext extendedKeyUsage=codeSigning 2>/dev/null
  osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -in "$work/unsigned.exe" -out "$packed" >/dev/null
  osslsigncode verify -CAfile "$work/cert.pem" -in "$packed" >/dev/null || fail "the signature does not verify"
  check_run "$packed" 1
  ;;
hostile)
  # Each archive holds run.exe (the report stub, its command) and a file
  # before the refused entry: nothing may run, nor stay written, here or
  # anywhere on drive C.
  export SFX_REPORT; SFX_REPORT=$(winepath -w "$report")
  for kind in parent device symlink fold truncated; do
    "${HOSTILE_BUNDLE:?}" "$kind" "$build/loader.exe" "$build/extractor.exe" "$build/report_stub.exe" "$work/$kind.exe"
    with_trailer "$work/$kind.exe" "$work/$kind-direct.exe"
    touch "$work/before" && sleep 1
    run_exe "$work/$kind-direct.exe" yes
    written=$(find "$WINEPREFIX/drive_c" -newer "$work/before" -not -type d 2>/dev/null)
    [ "$exit_code" = 255 ] && [ ! -e "$report" ] && [ -z "$written" ] && [ -z "$(leftovers)" ] ||
      fail "$kind: exit code $exit_code, want 255; ran: $([ -e "$report" ] && echo yes); written: $written $(leftovers)"
  done
  run_exe "$work/parent.exe" yes
  [ "$exit_code" = 1 ] && [ ! -e "$report" ] && [ -z "$(leftovers)" ] ||
    fail "through the loader: exit code $exit_code, want 1; ran: $([ -e "$report" ] && echo yes); left: $(leftovers)"
  ;;
*)
  fail "unknown case"
  ;;
esac
echo "PASS ($case_name)"
