# Sourced by the Wine end-to-end scripts, after `set -euo pipefail`, with
# their own arguments (the architecture first). Skips an i686 case where this
# machine cannot run 32-bit code, restarts the script under Xvfb when there is
# no display, and sets build (the Windows build), WORK_DIR, SFXPACK, the Wine
# prefix, fail and run_packed. SFXPACK, WIN32_DIR, WIN64_DIR and WORK_DIR come
# from ctest.
arch=$1
: "${SFXPACK:?}" "${WIN32_DIR:?}" "${WIN64_DIR:?}" "${WORK_DIR:?}"
if [ "$arch" = i686 ] && ! why=$(bash "$(dirname "${BASH_SOURCE[0]}")/../../scripts/runs-32bit.sh" --wine); then
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
mkdir -p "$WORK_DIR/screenshots"
[ -d "$WINEPREFIX/drive_c/windows" ] || wineboot -i >/dev/null 2>&1
wineserver -w || true

fail() { echo "FAIL ($case_name): $*" >&2; exit 1; }

# run_packed EXE yes|no|never [TITLE [ARGS...]]: runs EXE with ARGS; with yes,
# waits for the box titled TITLE (the error box by default), saves a
# screenshot of it and dismisses it; with never, fails if such a box appears
# or EXE has not ended by itself within two minutes. Sets exit_code.
run_packed() {
  local exe=$1 expect_box=$2 title=${3:-Error} window=""
  shift $(($# < 3 ? $# : 3))
  wine "$exe" "$@" & local pid=$!
  if [ "$expect_box" = yes ]; then
    for _ in $(seq 1 150); do
      window=$(xdotool search --name "^$title\$" 2>/dev/null | head -n 1 || true)
      [ -n "$window" ] && break
      sleep 0.2
    done
    [ -n "$window" ] || { kill "$pid" 2>/dev/null; fail "no box titled $title appeared"; }
    sleep 0.5 # let it paint
    import -window root "$WORK_DIR/screenshots/$case_name.png"
    xdotool key --window "$window" Return
  elif [ "$expect_box" = never ]; then
    local start=$SECONDS
    while kill -0 "$pid" 2>/dev/null; do
      ! xdotool search --name "^$title\$" > /dev/null 2>&1 || { kill "$pid"; fail "a box titled $title appeared"; }
      [ $((SECONDS - start)) -lt 120 ] || { kill "$pid"; fail "$exe did not end by itself"; }
      sleep 0.2
    done
  fi
  set +e
  wait "$pid"
  exit_code=$?
  set -e
}
