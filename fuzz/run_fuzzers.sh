#!/usr/bin/env bash
# Runs every libFuzzer harness for a bounded time: run_fuzzers.sh BIN_DIR SECONDS
# Each grows its own corpus under BIN_DIR (seeded from fuzz/corpus) and saves
# any finding to BIN_DIR/findings/NAME; any finding fails the run.
set -uo pipefail
bin_dir=$1 seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
failed=0
summary=()

for name in decoder round_trip sfxpack archive; do
  corpus="$bin_dir/corpus/$name" findings="$bin_dir/findings/$name" log="$bin_dir/$name.log"
  mkdir -p "$corpus" "$findings"
  options=(-max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048
           -artifact_prefix="$findings/")
  case $name in
  round_trip) options+=(-max_len=20000) ;; # past the window, still quick
  sfxpack) options+=(-max_len=40000 -close_fd_mask=2) ;;
  archive) options+=(-max_len=20000) ;; # its error lines would drown the log
  esac
  echo "fuzzing $name for ${seconds}s (log: $log)"
  "$bin_dir/${name}_fuzz" "${options[@]}" "$corpus" "$here/corpus/$name" >"$log" 2>&1
  status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  units=$(ls "$corpus" | wc -l)
  if [ $status -ne 0 ]; then
    failed=1
    summary+=("$(printf '%-11s FAILED (exit %d), see %s and %s' "$name" "$status" "$log" "$findings")")
    tail -n 40 "$log" >&2
  else
    summary+=("$(printf '%-11s %12s runs %9s exec/s %6s corpus files' "$name" "${runs:-?}" "${speed:-?}" "$units")")
  fi
done

printf '%s\n' "${summary[@]}"
exit $failed
