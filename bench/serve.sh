#!/usr/bin/env bash
# Load benchmark of MaxEntServe on the M workload (bench/gen.py), with wrk
# and bench/serve.lua:
#   single-text requests at 1, 16 and 64 connections (req/s, p50, p99),
#   100-text requests at 16 connections (texts/s),
#   GET /v2/health/live at 16 connections (the HTTP stack's ceiling),
#   resident memory sampled over a 60 s single-text run (flat: no leak),
# next to the command line's single-process lines/s on the same texts (of
# whole runs, as `make bench` counts them, and of its decoding alone), and
# the server's CPU time per text over the 100-text run (utime + stime from
# /proc, steadier than the rates when other work shares the machine).
# The 100-text rate is then compared with the command line's again, ROUNDS
# times with the two interleaved, and the median ratios reported: either rate
# alone moves by 10 % or more from run to run on a shared machine.
#   bash bench/serve.sh BUILD_DIR   (SECONDS_PER_RUN: length of each run, default 10;
#                                    SERVE_THREADS: the server's -t;
#                                    ROUNDS: interleaved comparisons, default 5)
set -euo pipefail
build=${1:-build}
seconds=${SECONDS_PER_RUN:-10}
here=$(cd "$(dirname "$0")" && pwd)
work=$build/bench/M
command -v wrk > /dev/null || { echo "serve.sh: wrk is not installed" >&2; exit 1; }
[ -s "$work/stats.txt" ] || python3 "$here/gen.py" M "$work"

# The command line's rates on the same texts, -n 3:
#   decoding: lines over the microseconds its -v report gives to decoding
#     (features and scores only: reading and printing left out);
#   whole: lines per second of whole runs, as `make bench` measures them: the
#     input given three times, less a one-line run (the load), so reading the
#     lines and printing the classes count, as the server's requests and
#     answers count for it.
decode_rate() {
  "$build/MaxEntDecoder" -m "$work/model" -d "$work/dict.txt" -n 3 -v < "$work/input.txt" 2>&1 \
    > /dev/null | awk '/^Total instances:/ {n = $3} /Total time:/ {t = $3 + 0} END {printf "%.0f", n / t * 1e6}'
}
thrice=$work/input3.txt
[ -s "$thrice" ] || cat "$work/input.txt" "$work/input.txt" "$work/input.txt" > "$thrice"
run_seconds() {
  local start
  start=$(date +%s.%N)
  # Its loading traces are dropped; a failure must not pass for a time.
  "$build/MaxEntDecoder" -m "$work/model" -d "$work/dict.txt" -n 3 < "$1" > /dev/null 2>&1 ||
    { echo "serve.sh: MaxEntDecoder failed on $1" >&2; return 1; }
  python3 -c "import sys, time; print(time.time() - float(sys.argv[1]))" "$start"
}
whole_rate() {
  local one all
  one=$(run_seconds "$work/one.txt") || return 1
  all=$(run_seconds "$thrice") || return 1
  python3 -c "print(round(($(wc -l < "$thrice") - 1) / ($all - $one)))"
}
decoding=$(decode_rate)
whole=$(whole_rate)

log=$(mktemp)
"$build/MaxEntServe" -m "$work/model" -d "$work/dict.txt" -N M -p 0 ${SERVE_THREADS:+-t "$SERVE_THREADS"} 2> "$log" &
server=$!
trap 'kill $server 2> /dev/null || true; rm -f "$log"' EXIT
until grep -q '^listening on' "$log"; do
  kill -0 $server 2> /dev/null || { cat "$log" >&2; exit 1; }
  sleep 0.2
done
url=http://$(sed -n 's/^listening on //p' "$log")

# run CONNECTIONS BATCH DURATION: "REQ/S P50_US P99_US ERRORS" of one wrk run.
run() {
  local threads=$(( $1 < 2 ? 1 : 2 ))
  wrk -t$threads -c"$1" -d"$3"s --latency -s "$here/serve.lua" "$url" -- "$work/input.txt" "$2" M \
    | sed -n 's/^result //p'
}
rss() { awk '/^VmRSS/ {print $2}' /proc/$server/status; }
cpu_ticks() { awk '{print $14 + $15}' /proc/$server/stat; }
texts_done() {
  python3 -c "import re, sys, urllib.request
metrics = urllib.request.urlopen(sys.argv[1]).read().decode()
print(re.search(r'^maxent_texts_classified_total (\S+)', metrics, re.M)[1])" "$url/metrics"
}

run 16 1 2 > /dev/null  # warm-up
printf '| workload | connections | req/s | texts/s | p50 ms | p99 ms | errors |\n'
printf '|---|---:|---:|---:|---:|---:|---:|\n'
texts_per_s=0  # of the last row
row() {
  read -r rps p50 p99 errors <<< "$(run "$2" "$3" "$seconds")"
  texts_per_s=$(python3 -c "print($rps * max($3, 1))")
  printf '| %s | %d | %.0f | %.0f | %.3f | %.3f | %d |\n' "$1" "$2" "$rps" "$texts_per_s" \
    "$(python3 -c "print($p50 / 1000)")" "$(python3 -c "print($p99 / 1000)")" "$errors"
}
for c in 1 16 64; do row "1 text" $c 1; done
ticks0=$(cpu_ticks) done0=$(texts_done)
row "100 texts" 16 100
ticks1=$(cpu_ticks) done1=$(texts_done)
batched=$texts_per_s
row "health/live" 16 0
printf '\ncommand line (one process, -n 3): %s lines/s decoding, %s lines/s whole runs; 100-text requests: %.2fx and %.2fx those\n' \
  "$decoding" "$whole" "$(python3 -c "print($batched / $decoding)")" "$(python3 -c "print($batched / $whole)")"
printf 'server CPU per text over the 100-text run: %.2f us; command line decoding: %.2f us per line\n' \
  "$(python3 -c "print(($ticks1 - $ticks0) / $(getconf CLK_TCK) / ($done1 - $done0) * 1e6)")" \
  "$(python3 -c "print(1e6 / $decoding)")"

median() { python3 -c "import statistics, sys; print(statistics.median(map(float, sys.argv[1:])))" "$@"; }
to_decoding=() to_whole=()
for _ in $(seq "${ROUNDS:-5}"); do
  decoding=$(decode_rate)
  whole=$(whole_rate)
  read -r rps _ <<< "$(run 16 100 "$seconds")"
  to_decoding+=("$(python3 -c "print(round($rps * 100 / $decoding, 2))")")
  to_whole+=("$(python3 -c "print(round($rps * 100 / $whole, 2))")")
done
printf '100-text requests against the command line, %d interleaved rounds:\n' "${#to_whole[@]}"
printf '  its whole runs: %s; median %sx\n' "${to_whole[*]}" "$(median "${to_whole[@]}")"
printf '  its decoding alone: %s; median %sx\n' "${to_decoding[*]}" "$(median "${to_decoding[@]}")"

before=$(rss)
samples=()
run 16 1 60 > /dev/null &
for _ in $(seq 12); do sleep 5; samples+=("$(rss)"); done
wait $!
printf 'resident memory over 60 s of single-text requests (MiB): before %s, every 5 s: %s\n' \
  "$((before / 1024))" "$(for s in "${samples[@]}"; do printf '%s ' $((s / 1024)); done)"
