#!/usr/bin/env bash
# Decodes the full S and K benchmark workloads and compares the SHA-256 of the
# decoder's output with the digests recorded before the decoding path was
# optimised (tests/data/bench/full.sha256).
#   check.sh DECODER WORKDIR
set -euo pipefail
decoder=$1
work=$2
here=$(cd "$(dirname "$0")" && pwd)
sums="$here/../tests/data/bench/full.sha256"
failed=0
checked=0
while read -r size n digest; do
  case "$size" in '#'*|'') continue ;; esac
  dir="$work/$size"
  if [ ! -f "$dir/stats.txt" ] || [ "$dir/stats.txt" -ot "$here/gen.py" ]; then
    python3 "$here/gen.py" "$size" "$dir" > /dev/null
  fi
  got=$("$decoder" -m "$dir/model" -d "$dir/dict.txt" -n "$n" < "$dir/input.txt" 2> /dev/null |
        sha256sum | cut -d' ' -f1)
  checked=$((checked + 1))
  if [ "$got" = "$digest" ]; then
    echo "ok: $size -n $n"
  else
    echo "CHANGED: $size -n $n ($got)"
    failed=$((failed + 1))
  fi
done < "$sums"
echo "bench-check: $((checked - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
