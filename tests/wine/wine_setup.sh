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
# -noreset: by default the server starts afresh whenever its last client
# has gone, and a program of the case that connects just then loses its
# connection ("X connection broken"); between two of a case's programs
# there are such moments.
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24 -noreset" "$0" "$@"
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

# run_packed EXE yes|no|never|try [TITLE [ARGS...]]: runs EXE with ARGS (as the
# second user with RUN_AS=as_other); with yes, waits for the box titled TITLE
# (the error box by default), saves a screenshot of it and dismisses it (and
# fails if EXE has not ended within a minute); with
# never, fails if such a box appears or EXE has not ended by itself within two
# minutes; with try, for a program that may be broken, ends every program of
# the prefix when such a box or a crash report appears or a minute passes, and
# sets exit_code to "stopped"; with no, fails if EXE has not ended within
# three minutes. Sets exit_code.
run_packed() {
  local exe=$1 expect_box=$2 title=${3:-Error} window=""
  shift $(($# < 3 ? $# : 3))
  ${RUN_AS:-} wine "$exe" "$@" & local pid=$!
  if [ "$expect_box" = yes ]; then
    for _ in $(seq 1 600); do # two minutes, for a busy machine
      window=$(xdotool search --name "^$title\$" 2>/dev/null | head -n 1 || true)
      [ -n "$window" ] && break
      sleep 0.2
    done
    [ -n "$window" ] || { kill "$pid" 2>/dev/null; fail "no box titled $title appeared"; }
    sleep 0.5 # let it paint
    import -window root "$WORK_DIR/screenshots/$case_name.png"
    # A key sent to a box that has not got the focus is lost, on a busy
    # display now and then: after the first, the box's OK is pressed from
    # inside the session, by a command that needs no focus.
    xdotool key --window "$window" Return 2>/dev/null || true
    local start=$SECONDS
    while sleep 1 && kill -0 "$pid" 2>/dev/null; do
      ${RUN_AS:-} wine "$build/press_button.exe" "$title" "$window" > /dev/null 2>&1 || true
      if [ $((SECONDS - start)) -ge 60 ]; then
        echo "windows open: $(xdotool search --name . 2>/dev/null | while read -r w; do
          printf '"%s" ' "$(xdotool getwindowname "$w" 2>/dev/null)"; done)" >&2
        import -window root "$WORK_DIR/screenshots/$case_name-stuck.png" 2>/dev/null || true
        kill "$pid"
        fail "$exe did not end once its box was dismissed"
      fi
    done
  elif [ "$expect_box" = no ]; then
    local start=$SECONDS
    while kill -0 "$pid" 2>/dev/null; do
      if [ $((SECONDS - start)) -ge 180 ]; then
        echo "processes: $(winedbg --command 'info proc' 2>/dev/null | tr -s ' \n' ' ')" >&2
        kill "$pid"
        fail "$exe did not end within three minutes"
      fi
      sleep 0.2
    done
  elif [ "$expect_box" = never ]; then
    local start=$SECONDS
    while kill -0 "$pid" 2>/dev/null; do
      ! xdotool search --name "^$title\$" > /dev/null 2>&1 || { kill "$pid"; fail "a box titled $title appeared"; }
      [ $((SECONDS - start)) -lt 120 ] || { kill "$pid"; fail "$exe did not end by itself"; }
      sleep 0.2
    done
  elif [ "$expect_box" = try ]; then
    local start=$SECONDS
    while kill -0 "$pid" 2>/dev/null; do
      if xdotool search --name "^($title|Program Error)\$" > /dev/null 2>&1 || [ $((SECONDS - start)) -ge 60 ]; then
        wineserver -k || true
        wait "$pid" || true
        exit_code=stopped
        return
      fi
      sleep 0.2
    done
  fi
  set +e
  wait "$pid"
  exit_code=$?
  set -e
}

# A user who cannot write to the Windows folder: a second Unix user (a bare
# number, no account) with a prefix of its own, made once and kept, whose
# windows folder is read-only and whose temporary folder's name no one ANSI
# code page spells. Needs root; skips otherwise. Sets other_prefix, other_temp.
OTHER_UID=47190 other_home="$WORK_DIR/wine-user" other_prefix="$WORK_DIR/wine-user/prefix"
other_temp="$other_prefix/drive_c/users/sfxtest/Łukasz データ"
other_user_setup() {
  [ "$(id -u)" = 0 ] || { echo "SKIP: only root can run Wine as a second user"; exit 77; }
  # A tree under a private folder (mktemp -d's, say) is out of its reach.
  as_other test -x "$WORK_DIR" ||
    { echo "SKIP: the second user (uid $OTHER_UID) cannot reach $WORK_DIR: a folder above it is private"; exit 77; }
  if [ ! -e "$other_home/ready" ]; then
    rm -rf "$other_home" && mkdir -p "$other_prefix" && chown -R "$OTHER_UID:$OTHER_UID" "$other_home"
    as_other wineboot -i > /dev/null 2>&1 && as_other mkdir -p "$other_temp"
    for name in TEMP TMP; do
      as_other wine reg add 'HKCU\Environment' /v $name /d 'C:\users\sfxtest\Łukasz データ' /f > /dev/null
    done
    as_other wineserver -w && chmod a-w "$other_prefix/drive_c/windows" && touch "$other_home/ready"
  fi
  ! as_other touch "$other_prefix/drive_c/windows/probe" 2> /dev/null || fail "the second user can write to windows"
  [ ! -r "${XAUTHORITY:-$HOME/.Xauthority}" ] ||
    install -o "$OTHER_UID" -m 600 "${XAUTHORITY:-$HOME/.Xauthority}" "$other_home/.Xauthority"
}
as_other() {
  setpriv --reuid="$OTHER_UID" --regid="$OTHER_UID" --clear-groups env HOME="$other_home" USER=sfxtest \
    LOGNAME=sfxtest XAUTHORITY="$other_home/.Xauthority" WINEPREFIX="$other_prefix" "$@"
}
