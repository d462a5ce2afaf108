#!/usr/bin/env bash
# Runs libFuzzer harnesses for a bounded time each:
#   run_fuzzers.sh BIN_DIR WORK_DIR SECONDS [NAME...]   (all of them when none is named)
# Each grows its corpus in WORK_DIR/corpus/NAME, kept from run to run and seeded
# from fuzz/corpus/NAME, and saves any finding to WORK_DIR/findings/NAME; any
# finding fails the run. FUZZ_JOBS harnesses run side by side, one core each.
set -uo pipefail
bin_dir=$1 work=$2 seconds=$3
shift 3
all=(decoder round_trip sfxpack tar coded record bundle_header pe_image pe_resources)
names=("${@%_fuzz}") # a harness named as its program (coded_fuzz) or without the suffix
[ ${#names[@]} -gt 0 ] || names=("${all[@]}")
for name in "${names[@]}"; do
  [ -x "$bin_dir/${name}_fuzz" ] || { echo "run_fuzzers.sh: no harness $name (${all[*]})" >&2; exit 2; }
done
jobs=${FUZZ_JOBS:-1}
here=$(cd "$(dirname "$0")" && pwd)

fuzz_one() {
  local name=$1 corpus="$work/corpus/$1" findings="$work/findings/$1" log="$work/$1.log"
  mkdir -p "$corpus" "$findings"
  local options=(-max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048
                 -artifact_prefix="$findings/")
  case $name in
  round_trip) options+=(-max_len=20000) ;; # past the window, still quick
  sfxpack) options+=(-max_len=40000 -close_fd_mask=2) ;; # its error lines would drown the log
  tar | coded) options+=(-max_len=20000) ;;
  record) options+=(-max_len=64) ;;
  bundle_header) options+=(-max_len=9000) ;; # past the longest command and title
  pe_image) options+=(-max_len=4096) ;;
  pe_resources) options+=(-max_len=40000) ;; # a loader and its resources
  esac
  "$bin_dir/${name}_fuzz" "${options[@]}" "$corpus" "$here/corpus/$name" >"$log" 2>&1
  local status=$?
  local runs speed units
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  units=$(ls "$corpus" | wc -l)
  if [ $status -ne 0 ]; then
    tail -n 40 "$log" >&2
    printf '%-13s FAILED (exit %d), see %s and %s\n' "$name" "$status" "$log" "$findings"
  else
    printf '%-13s %12s runs %9s exec/s %6ss %6s corpus files\n' "$name" "${runs:-?}" "${speed:-?}" "$seconds" "$units"
  fi
  echo $status > "$work/$name.status"
}

mkdir -p "$work"
for name in "${names[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
  echo "fuzzing $name for ${seconds}s (log: $work/$name.log)" >&2
  rm -f "$work/$name.status"
  fuzz_one "$name" > "$work/$name.summary" &
done
wait
failed=0
for name in "${names[@]}"; do
  cat "$work/$name.summary"
  [ "$(cat "$work/$name.status" 2>/dev/null)" = 0 ] || failed=1
done
exit $failed
