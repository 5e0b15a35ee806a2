#!/usr/bin/env bash
# Runs every harness (or those named) of a fuzz build for SECONDS each, one
# after the other on one core, with the seed corpora, the syntax dictionary
# and a corpus kept in BUILD/corpus/<harness>. Findings go to
# BUILD/findings/, logs to BUILD/logs/. Prints the executions and the time of
# each harness and exits non-zero when any harness found something.
#   fuzz/run.sh BUILD SECONDS [HARNESS...]
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$1"
seconds="$2"
shift 2
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=(parm dict field vecfile model decode)

mkdir -p "$build/findings" "$build/logs"
rm -rf "$build/seeds"
bash "$root/fuzz/make_seeds.sh" "$build/seeds"

# CPU seconds (user + system) used so far by the finished children of this
# shell, from its /proc record.
cpu_of_children() {
  awk -v hz="$(getconf CLK_TCK)" '{ printf "%d\n", ($16 + $17) / hz }' "/proc/$$/stat"
}

declare -A max_len=([parm]=16384 [dict]=8192 [field]=4096 [vecfile]=8192 [model]=16384
                    [decode]=4096)
failed=0
passed=0
for h in "${harnesses[@]}"; do
  corpus="$build/corpus/$h"
  mkdir -p "$corpus"
  opts=(-max_total_time="$seconds" -max_len="${max_len[$h]:-8192}" -timeout=60
        -rss_limit_mb=2048 -malloc_limit_mb=2048 -detect_leaks=0 -close_fd_mask=3
        -print_final_stats=1 -artifact_prefix="$build/findings/$h-")
  case "$h" in parm | vecfile | model) opts+=(-dict="$root/fuzz/parm.dict") ;; esac
  log="$build/logs/$h.log"
  # The harness's own CPU time (user + system), beside libFuzzer's wall time.
  start_cpu=$(cpu_of_children)
  nice -n 10 "$build/fuzz_$h" "${opts[@]}" "$corpus" "$build/seeds/$h" >"$log" 2>&1
  rc=$?
  cpu=$(($(cpu_of_children) - start_cpu))
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  secs=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
  if [ $rc -eq 0 ]; then
    echo "fuzz_$h: ${runs:-?} executions in ${secs:-?} s (${cpu} CPU s), no finding"
    passed=$((passed + 1))
  else
    echo "fuzz_$h: FINDING (status $rc) after ${runs:-?} executions; see $log and $build/findings/"
    grep -m3 -E "ERROR|SUMMARY|fuzz:" "$log" | sed 's/^/  /'
    failed=$((failed + 1))
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ $failed -eq 0 ]
