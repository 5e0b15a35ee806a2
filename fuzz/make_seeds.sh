#!/usr/bin/env bash
# Builds the seed corpora of the harnesses from the repository's test data,
# example model and fuzz models: make_seeds.sh OUTDIR makes OUTDIR/<harness>/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$1"
mkdir -p "$out"/{parm,dict,field,vecfile,model,decode}

n=0
seed() {  # seed HARNESS FILE...: one seed made of the concatenated files
  n=$((n + 1))
  cat "${@:2}" > "$out/$1/seed$n"
}

# Packs a model folder in the section format of fuzz_model (zanda.parm first).
pack_model() {
  local dir="$1" f
  cat "$dir/zanda.parm"
  for f in "$dir"/*; do
    [ "$(basename "$f")" = zanda.parm ] && continue
    printf '\n#@ %s\n' "$(basename "$f")"
    cat "$f"
  done
}

models=("$root/examples/model" "$root/fuzz/models/linear" "$root/fuzz/models/index"
        "$root/fuzz/models/kernel")
[ -d "$root/tests/data/e2e/clamps" ] && models+=("$root/tests/data/e2e/clamps")

for f in "$root"/tests/data/parm/*.parm "$root"/tests/data/vocab/*.parm "${models[@]/%//zanda.parm}"; do
  [ -f "$f" ] && seed parm "$f"
done
for m in "${models[@]}"; do
  n=$((n + 1))
  pack_model "$m" > "$out/model/seed$n"
  for v in "$m"/*.txt; do
    [ -f "$v" ] || continue
    grep -q '^vector' "$v" || continue
    for mode in '\x00' '\x01'; do
      n=$((n + 1))
      { printf "$mode"; cat "$v"; } > "$out/vecfile/seed$n"
    done
  done
done
# A vector file with a binary part: two records (index 1 -> 0.5, index 4 -> -2).
n=$((n + 1))
{ printf '\x02vector w {\n  type = weight\n  field = 0\n  binsize = 2\n}\n#@ w.bin\n'
  printf '\x01\x00\x00\x00\x00\x00\x00\x3f\x04\x00\x00\x00\x00\x00\x00\xc0'; } > "$out/vecfile/seed$n"

seed dict "$root/examples/dict.txt"
seed dict "$root/fuzz/models/dict.txt"
seed decode "$root/examples/input.txt"
printf 'a b c x\nd e\n\n...EOS...\n1 2 3\nb,c  x\td e' > "$out/decode/seed_lines"

# Field data of every type: the mode byte (type in bits 0-1) then the lines.
for mode in '\x00' '\x01' '\x02' '\x03' '\x08' '\x10' '\x20' '\x40' '\x80'; do
  n=$((n + 1))
  { printf "$mode"; cat "$root/fuzz/models/kernel/data"; } > "$out/field/seed$n"
done
printf '\x01 1:0.5 3:2 7:-1\n 2:1\n' > "$out/field/seed_sparse"
printf '\x02 0.5 1 2.5\n 3 0 1\n' > "$out/field/seed_continuous"
printf '\x03 0 1 2\n 1 0 3\n' > "$out/field/seed_bstump"
