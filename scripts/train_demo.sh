#!/usr/bin/env bash
# From labelled text to a served model: builds a corpus of Debian package
# descriptions labelled by their section, extracts the decoder's features,
# trains a logistic-regression model with liblinear, imports it and decodes
# the held-out descriptions, printing the accuracy. Everything is written
# under $BUILD/train-demo (BUILD defaults to build).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build}
OUT=$BUILD/train-demo

if ! command -v liblinear-train >/dev/null || ! command -v liblinear-predict >/dev/null; then
  echo "== installing liblinear-tools"
  if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q liblinear-tools
fi
for tool in MaxEntFeatures MaxEntImport MaxEntDecoder; do
  [ -x "$BUILD/$tool" ] || { echo "missing $BUILD/$tool: run make build first" >&2; exit 1; }
done
mkdir -p "$OUT"

echo "== corpus"
python3 scripts/debian_corpus.py --out "$OUT"

echo "== features (n-grams seen at least twice)"
"$BUILD/MaxEntFeatures" -c 2 -i "$OUT/train.txt" -d "$OUT/dict.txt" -l "$OUT/labels.txt" \
  -o "$OUT/train.svm"
echo "$(wc -l <"$OUT/dict.txt") features, $(wc -l <"$OUT/labels.txt") classes"

echo "== training (liblinear-train -s 0 -B 1)"
liblinear-train -q -s 0 -B 1 "$OUT/train.svm" "$OUT/model.liblinear"

echo "== import"
"$BUILD/MaxEntImport" -m "$OUT/model.liblinear" -l "$OUT/labels.txt" -d "$OUT/dict.txt" \
  -o "$OUT/model"

echo "== decoding the held-out descriptions"
cut -f2- "$OUT/heldout.txt" |
  "$BUILD/MaxEntDecoder" -m "$OUT/model" -d "$OUT/model/dict.txt" >"$OUT/decoded.txt" \
    2>"$OUT/decoder.log"
# liblinear on the same features, for comparison.
"$BUILD/MaxEntFeatures" -x -i "$OUT/heldout.txt" -d "$OUT/dict.txt" -l "$OUT/labels.txt" \
  -o "$OUT/heldout.svm"
liblinear-predict -q "$OUT/heldout.svm" "$OUT/model.liblinear" "$OUT/liblinear.pred"
awk -F'\t' 'NR == FNR { name[$1] = $2; next } { print name[$1] }' "$OUT/labels.txt" \
  "$OUT/liblinear.pred" >"$OUT/liblinear.classes"

# The first pair of each output line is the best class: "name:score ".
sed 's/:[^:]* .*//' "$OUT/decoded.txt" >"$OUT/decoded.classes"
cut -f1 "$OUT/heldout.txt" | paste - "$OUT/decoded.classes" "$OUT/liblinear.classes" |
  awk -F'\t' '{ n++; dec += ($1 == $2); lib += ($1 == $3); same += ($2 == $3) }
    END {
      printf "decoder held-out accuracy:           %.2f%% (%d/%d)\n", 100 * dec / n, dec, n
      printf "liblinear-predict held-out accuracy: %.2f%% (%d/%d)\n", 100 * lib / n, lib, n
      printf "same best class (ties aside):        %d of %d lines\n", same, n
    }'
