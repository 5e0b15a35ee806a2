#!/usr/bin/env python3
"""Deterministic generator of production-size decoder workloads.

    gen.py SIZE OUTDIR [--lines N] [--entries N] [--classes N] [--svs N]

SIZE is S (20 classes, 100 000 dictionary entries), M (100 classes,
1 000 000 entries, about 5 million non-zero weights) or K (a kernel model:
20 classes over 20 000 support vectors in gzip field data). The options shrink
a workload (the regression test uses a small S). OUTDIR receives:

  dict.txt          feature dictionary ("index string" lines)
  input.txt         text lines of 20 to 60 tokens; one.txt: its first line
  model/            model directory (zanda.parm and its files)
  model-bin/        linear sizes: the same model with binary vector files
  liblinear.model   linear sizes: the same weights and biases in liblinear's
  liblinear.data    model and data formats (feature k is liblinear's k + 1,
  liblinear.one     the bias is liblinear's bias feature), so both programs
                    compute the same w.x + b; liblinear.one: first line only
  train.txt         linear sizes: labelled lines of the same shape (fastText)
  stats.txt         sizes and the dictionary hit rate of the input

Only random.Random.random() is used, whose sequence for a given seed is
stable across Python versions, so every file is the same on every machine.
"""

import argparse
import array
import gzip
import math
import os
import random
import sys

SIZES = {
    # classes, dictionary entries, mean classes per feature, vocabulary
    "S": dict(classes=20, entries=100_000, per_feature=3.0, vocab=20_000),
    "M": dict(classes=100, entries=1_000_000, per_feature=5.5, vocab=50_000),
    "K": dict(classes=20, entries=100_000, per_feature=0.0, vocab=20_000),
}
LINES = 100_000
SUPPORT_VECTORS = 20_000
SV_PER_CLASS = 2_000


class Draw:
    """Integer and word draws on top of random.Random.random()."""

    def __init__(self, seed, vocab):
        self.r = random.Random(seed).random
        self.vocab = vocab

    def below(self, n):
        return min(int(self.r() * n), n - 1)

    def word(self):
        # Zipf-like: rank r is drawn with probability about 1 / (r ln V).
        n = len(self.vocab)
        return self.vocab[min(int(n ** self.r()) - 1, n - 1)]

    def sentence(self):
        return [self.word() for _ in range(20 + self.below(41))]

    def weight(self):
        while True:
            text = "%.4g" % ((self.r() * 2 - 1) * 1.5)
            if float(text) != 0:
                return text


def vocabulary(n):
    d = Draw(1, [])
    letters = "abcdefghijklmnopqrstuvwxyz"
    words, seen = [], set()
    while len(words) < n:
        w = "".join(letters[d.below(26)] for _ in range(2 + d.below(9)))
        if w not in seen:
            seen.add(w)
            words.append(w)
    return words


def ngrams(tokens):
    """Feature strings of a line in the decoder's generation order."""
    out = []
    pieces = ["%s_%d" % (t, i + 1) for i, t in enumerate(tokens)]
    for i, p in enumerate(pieces):
        out.append(p)
        if i > 0:
            out.append(pieces[i - 1] + " " + p)
        if i > 1:
            out.append(pieces[i - 2] + " " + pieces[i - 1] + " " + p)
    return out


def build_dictionary(entries, vocab):
    """N-grams of sentences drawn like the input, numbered by first sight."""
    d = Draw(2, vocab)
    index = {}
    while len(index) < entries:
        for g in ngrams(d.sentence()):
            if g not in index:
                index[g] = len(index)
                if len(index) == entries:
                    break
    return index


def features(tokens, index):
    found = [index[g] for g in ngrams(tokens) if g in index]
    return found, sorted(set(found))


def write_lines(path, lines):
    with open(path, "w") as f:
        f.writelines(lines)


def linear_weights(cfg, d):
    """Per class, increasing (feature, weight text) lists; and class biases."""
    classes = cfg["classes"]
    rows = [[] for _ in range(classes)]
    mean = cfg["per_feature"]
    for j in range(cfg["entries"]):
        k = min(classes, 1 + int(-math.log(1.0 - d.r()) * (mean - 1)))
        chosen = set()
        while len(chosen) < k:
            chosen.add(d.below(classes))
        for c in sorted(chosen):
            rows[c].append((j, d.weight()))
    biases = ["%.4g" % (-2 * d.r()) for _ in range(classes)]
    return rows, biases


def class_name(c):
    return "class%03d" % c


def parm_file(path, cls_blocks, head):
    with open(path, "w") as f:
        f.write("# generated benchmark model\n" + head)
        for block in cls_blocks:
            f.write(block)


def write_linear_model(out, rows, biases):
    head = (
        "field f0 {\n}\n"
        "kernel k0 {\n  type = linear\n  fields = { f0 }\n  weights = { 1 }\n}\n"
    )
    for variant in ("model", "model-bin"):
        mdir = os.path.join(out, variant)
        os.makedirs(mdir, exist_ok=True)
        blocks = []
        for c, row in enumerate(rows):
            binary = variant == "model-bin"
            with open(os.path.join(mdir, "v%d.txt" % c), "w") as f:
                f.write("vector v0 {\n  type = weight\n  field = 0\n")
                if binary:
                    f.write("  binsize = %d\n" % len(row))
                else:
                    f.writelines(" %d = %s\n" % e for e in row)
                f.write("}\n")
            if binary:
                write_records(os.path.join(mdir, "w%d.bin" % c), row)
            blocks.append(
                "classifier c%d {\n  kernels = { k0 }\n  vecfile = { v%d.txt }\n"
                "  weights = { 1 }\n  bias = %s\n%s}\n"
                "supervisor s%d {\n  p = %s\n  clf = c%d\n}\n"
                % (c, c, biases[c], "  binfile = w%d.bin\n" % c if binary else "", c,
                   class_name(c), c)
            )
        parm_file(os.path.join(mdir, "zanda.parm"), blocks, head)


def write_records(path, row):
    """8-byte little-endian records: int32 index, float32 value."""
    idx = array.array("i", (j for j, _ in row))
    bits = array.array("i", array.array("f", (float(w) for _, w in row)).tobytes())
    rec = array.array("i", bytes(8 * len(row)))
    rec[0::2] = idx
    rec[1::2] = bits
    if sys.byteorder != "little":
        rec.byteswap()
    with open(path, "wb") as f:
        rec.tofile(f)


def write_liblinear_model(path, cfg, rows, biases):
    classes = cfg["classes"]
    dense = {}
    for c, row in enumerate(rows):
        for j, w in row:
            dense.setdefault(j, []).append((c, w))
    with open(path, "w") as f:
        f.write("solver_type L2R_LR\nnr_class %d\nlabel %s\nnr_feature %d\nbias 1\nw\n"
                % (classes, " ".join(str(c + 1) for c in range(classes)), cfg["entries"]))
        zero = ["0"] * classes
        for j in range(cfg["entries"]):
            line = zero
            if j in dense:
                line = list(zero)
                for c, w in dense[j]:
                    line[c] = w
            f.write(" ".join(line) + " \n")
        f.write(" ".join(biases) + " \n")


def write_kernel_model(out, cfg, vocab, index):
    mdir = os.path.join(out, "model")
    os.makedirs(mdir, exist_ok=True)
    d = Draw(5, vocab)
    nsv = cfg["svs"]
    with gzip.GzipFile(os.path.join(mdir, "data0.gz"), "wb", mtime=0) as f:
        written = 0
        while written < nsv:
            _, sv = features(d.sentence(), index)
            if sv:
                f.write(("".join(" %d" % k for k in sv) + "\n").encode())
                written += 1
    head = (
        "field f0 {\n  protofile = data0.gz\n  norm = true\n}\n"
        "kernel k0 {\n  type = poly\n  pow = 2\n  fields = { f0 }\n  weights = { 1 }\n}\n"
    )
    blocks = []
    per_class = min(SV_PER_CLASS * nsv // SUPPORT_VECTORS or 1, nsv)
    for c in range(cfg["classes"]):
        chosen = set()
        while len(chosen) < per_class:
            chosen.add(d.below(nsv))
        with open(os.path.join(mdir, "sv%d.txt" % c), "w") as f:
            f.write("vector v0 {\n  type = supvec\n  field = 0\n")
            f.writelines(" %d = %s\n" % (p, d.weight()) for p in sorted(chosen))
            f.write("}\n")
        blocks.append(
            "classifier c%d {\n  kernels = { k0 }\n  vecfile = { sv%d.txt }\n"
            "  weights = { 1 }\n  bias = %.4g\n}\nsupervisor s%d {\n  p = %s\n  clf = c%d\n}\n"
            % (c, c, -d.r(), c, class_name(c), c)
        )
    parm_file(os.path.join(mdir, "zanda.parm"), blocks, head)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("size", choices=sorted(SIZES))
    ap.add_argument("out")
    ap.add_argument("--lines", type=int, default=LINES)
    ap.add_argument("--entries", type=int)
    ap.add_argument("--classes", type=int)
    ap.add_argument("--svs", type=int, default=SUPPORT_VECTORS)
    a = ap.parse_args()
    cfg = dict(SIZES[a.size])
    cfg["entries"] = a.entries or cfg["entries"]
    cfg["classes"] = a.classes or cfg["classes"]
    cfg["svs"] = a.svs
    os.makedirs(a.out, exist_ok=True)

    vocab = vocabulary(cfg["vocab"])
    index = build_dictionary(cfg["entries"], vocab)
    write_lines(os.path.join(a.out, "dict.txt"), ("%d %s\n" % (i, g) for g, i in index.items()))

    d = Draw(3, vocab)
    lines = [" ".join(d.sentence()) + "\n" for _ in range(a.lines)]
    write_lines(os.path.join(a.out, "input.txt"), lines)
    write_lines(os.path.join(a.out, "one.txt"), lines[:1])
    generated = hits = 0
    linear = a.size != "K"
    data = []
    for line in lines:
        tokens = line.split()
        found, unique = features(tokens, index)
        generated += len(tokens) * 3 - 3
        hits += len(found)
        if linear:
            data.append("1" + "".join(" %d:1" % (k + 1) for k in unique) + "\n")
    stats = ["size %s\n" % a.size, "classes %d\n" % cfg["classes"],
             "dictionary %d\n" % cfg["entries"], "lines %d\n" % a.lines,
             "ngram hit rate %.3f\n" % (hits / max(generated, 1)),
             "features per line %.1f\n" % (hits / max(a.lines, 1))]

    if linear:
        write_lines(os.path.join(a.out, "liblinear.data"), data)
        write_lines(os.path.join(a.out, "liblinear.one"), data[:1])
        rows, biases = linear_weights(cfg, Draw(4, vocab))
        stats.append("weights %d\n" % sum(len(r) for r in rows))
        write_linear_model(a.out, rows, biases)
        write_liblinear_model(os.path.join(a.out, "liblinear.model"), cfg, rows, biases)
        d = Draw(6, vocab)
        write_lines(os.path.join(a.out, "train.txt"),
                    ("__label__%s %s\n" % (class_name(d.below(cfg["classes"])),
                                           " ".join(d.sentence())) for _ in range(a.lines)))
    else:
        write_kernel_model(a.out, cfg, vocab, index)
    write_lines(os.path.join(a.out, "stats.txt"), stats)
    sys.stdout.write("".join(stats))


if __name__ == "__main__":
    main()
