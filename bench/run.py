#!/usr/bin/env python3
"""Side-by-side benchmark of the decoder with liblinear-predict and fastText.

    run.py DECODER WORKDIR RESULTS [--sizes S,M,K] [--rounds 5]

For each size the workload is generated under WORKDIR/SIZE (bench/gen.py)
when missing, a fastText model is trained on its labelled lines, and every
command runs once per round, all commands of a size interleaved in each round
(hyperfine --runs 1), on the full input, on its first line only and, for S
and M, on the full input repeated REPEAT (5) times:

  decoder          DECODER -m model -d dict.txt -n 3        (text vector files)
  decoder (bin)    DECODER -m model-bin -d dict.txt -n 3    (binary vector files)
  liblinear        liblinear-predict -q on the same weights and features
  fastText         fasttext predict MODEL.bin INPUT 3

Load time is the median time of the one-line run; throughput is
(REPEAT x lines - 1) / (median repeated time - median one-line time), so that
decoding outweighs the run-to-run variation of a peer's multi-second load
(for K, REPEAT is 1: the full run); peak resident memory
is measured once per command on the full input (wait4). The table, with the
machine it ran on, goes to RESULTS (Markdown) and to standard output.
"""

import argparse
import json
import os
import platform
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# Copies of the input in the throughput run, per size.
REPEAT = {"S": 5, "M": 5, "K": 1}


OTHER_SECTIONS = "## Engine, Python package and server"


def sh(cmd, **kw):
    return subprocess.run(cmd, shell=True, check=True, **kw)


def tool_version(cmd):
    try:
        out = subprocess.run(cmd, shell=True, capture_output=True, text=True).stdout
        return out.strip().splitlines()[0].replace("\t", " ") if out.strip() else "?"
    except OSError:
        return "?"


def stats_of(path):
    stats = {}
    with open(path) as f:
        for line in f:
            key, _, value = line.rstrip("\n").rpartition(" ")
            stats[key] = value
    return stats


def ensure_workload(size, wdir):
    stamp = os.path.join(wdir, "stats.txt")
    gen = os.path.join(HERE, "gen.py")
    if not os.path.exists(stamp) or os.path.getmtime(stamp) < os.path.getmtime(gen):
        print("generating %s workload in %s" % (size, wdir), flush=True)
        sh("python3 %s %s %s" % (shlex.quote(gen), size, shlex.quote(wdir)))
    return stats_of(stamp)


def ensure_fasttext(wdir, entries):
    model = os.path.join(wdir, "fasttext")
    if not os.path.exists(model + ".bin") or os.path.getmtime(model + ".bin") < os.path.getmtime(
            os.path.join(wdir, "train.txt")):
        print("training fastText in %s" % wdir, flush=True)
        # Defaults (dim 100, 5 epochs) with word trigrams and as many n-gram
        # buckets as the decoder's dictionary has entries.
        sh("fasttext supervised -input %s -output %s -wordNgrams 3 -bucket %d -thread 2 "
           "-verbose 0" % (shlex.quote(os.path.join(wdir, "train.txt")), shlex.quote(model),
                           entries))
    return model + ".bin"


def peak_rss_mb(cmd):
    """Peak resident memory of one run of a shell command, in MiB."""
    proc = subprocess.Popen(["/bin/sh", "-c", "exec " + cmd], stderr=subprocess.DEVNULL)
    _, _, usage = os.wait4(proc.pid, 0)
    return usage.ru_maxrss / 1024.0


def file_mb(*paths):
    total = 0
    for p in paths:
        if os.path.isdir(p):
            total += sum(os.path.getsize(os.path.join(p, f)) for f in os.listdir(p))
        else:
            total += os.path.getsize(p)
    return total / 2**20


def repeated(wdir, name, times):
    """WORKDIR/SIZE/name repeated `times` times, made when missing or older."""
    if times == 1:
        return name
    base, ext = os.path.splitext(name)
    out = "%s-x%d%s" % (base, times, ext)
    src, dst = os.path.join(wdir, name), os.path.join(wdir, out)
    if not os.path.exists(dst) or os.path.getmtime(dst) < os.path.getmtime(src):
        # Copied in pieces: this process's peak memory is inherited by the
        # commands it starts, whose peak is measured through wait4.
        with open(dst, "wb") as f:
            for _ in range(times):
                with open(src, "rb") as piece:
                    shutil.copyfileobj(piece, f, 1 << 20)
    return out


def commands(size, wdir, decoder, fasttext_model):
    q = lambda name: shlex.quote(os.path.join(wdir, name))
    dec = "%s -m %%s -d %s -n 3" % (shlex.quote(decoder), q("dict.txt"))
    tools = {"decoder": (dec % q("model") + " < %s > /dev/null", "input.txt", "one.txt")}
    if size != "K":
        tools["decoder (bin)"] = (dec % q("model-bin") + " < %s > /dev/null", "input.txt",
                                  "one.txt")
        tools["liblinear"] = ("liblinear-predict -q %%s %s /dev/null" % q("liblinear.model"),
                              "liblinear.data", "liblinear.one")
        tools["fastText"] = ("fasttext predict %s %%s 3 > /dev/null" % shlex.quote(fasttext_model),
                             "input.txt", "one.txt")
    cmds = {}
    for name, (tpl, full, one) in tools.items():
        cmds[name] = {"full": tpl % q(full), "one": tpl % q(one)}
        if REPEAT[size] > 1:
            cmds[name]["repeated"] = tpl % q(repeated(wdir, full, REPEAT[size]))
    return cmds


def run_rounds(cmds, rounds, log):
    """Median seconds of every (tool, input) command over interleaved rounds."""
    flat = [(tool, kind, c) for tool, kinds in cmds.items() for kind, c in kinds.items()]
    times = {(tool, kind): [] for tool, kind, _ in flat}
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "round.json")
        for r in range(rounds):
            print("  round %d/%d" % (r + 1, rounds), flush=True)
            args = ["hyperfine", "--runs", "1", "--export-json", out] + [c for _, _, c in flat]
            subprocess.run(args, check=True, stdout=log, stderr=log)
            with open(out) as f:
                results = json.load(f)["results"]
            for (tool, kind, _), res in zip(flat, results):
                times[(tool, kind)].append(res["mean"])
    return {k: statistics.median(v) for k, v in times.items()}


def machine():
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    return "%s, %d cores, %.0f GiB memory, Linux %s" % (cpu, os.cpu_count(), mem,
                                                      platform.release())


def ratio(a, b):
    return "%.1f×" % (a / b) if a and b else "—"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("decoder")
    ap.add_argument("workdir")
    ap.add_argument("results")
    ap.add_argument("--sizes", default="S,M,K")
    ap.add_argument("--rounds", type=int, default=5)
    a = ap.parse_args()
    decoder = os.path.abspath(a.decoder)
    started = time.time()
    load_before = os.getloadavg()[0]
    rows, notes = [], []
    log = open(os.path.join(a.workdir, "hyperfine.log"), "w")
    for size in a.sizes.split(","):
        wdir = os.path.join(a.workdir, size)
        os.makedirs(wdir, exist_ok=True)
        st = ensure_workload(size, wdir)
        lines = int(st["lines"])
        ft = ensure_fasttext(wdir, int(st["dictionary"])) if size != "K" else None
        cmds = commands(size, wdir, decoder, ft)
        print("size %s: %d commands x %d rounds" % (size, sum(len(k) for k in cmds.values()),
                                                  a.rounds), flush=True)
        med = run_rounds(cmds, a.rounds, log)
        res = {}
        for tool, kinds in cmds.items():
            load = med[(tool, "one")]
            full = med[(tool, "full")]
            long_run = med.get((tool, "repeated"), full)
            decoded = REPEAT[size] * lines - 1
            rate = decoded / (long_run - load) if long_run > load else 0.0
            res[tool] = dict(load=load, full=full, rate=rate, rss=peak_rss_mb(kinds["full"]))
        files = file_mb(os.path.join(wdir, "dict.txt"), os.path.join(wdir, "model"))
        notes.append("%s: dictionary and model files %.1f MiB; %s n-gram hit rate, %s features "
                     "per line%s" % (size, files, st["ngram hit rate"], st["features per line"],
                                     ", %s weights" % st["weights"] if "weights" in st else ""))
        for tool, r in res.items():
            ll, ft_ = res.get("liblinear"), res.get("fastText")
            mine = tool.startswith("decoder")
            rows.append("| %s | %s | %.3f | %.0f | %.3f | %.1f | %s | %s | %s | %s |" % (
                size, tool, r["load"], r["rate"], r["full"], r["rss"],
                ratio(ll["load"], r["load"]) if mine and ll else "",
                ratio(r["rate"], ll["rate"]) if mine and ll else "",
                ratio(ft_["load"], r["load"]) if mine and ft_ else "",
                ratio(r["rate"], ft_["rate"]) if mine and ft_ else ""))
            if mine and ll:
                rows[-1] += " %s / %s | %.2f / %.2f |" % (
                    ratio(ll["full"], r["full"]), ratio(ft_["full"], r["full"]),
                    r["rss"] / ll["rss"], r["rss"] / files)
            else:
                rows[-1] += " | |"
    log.close()
    head = [
        "| size | program | load s | lines/s | 100k lines s | peak MiB | load vs liblinear |"
        " lines/s vs liblinear | load vs fastText | lines/s vs fastText |"
        " end to end vs liblinear / fastText | memory / liblinear, / files |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    text = ["# Benchmark results", "",
            "Produced by `make bench` (bench/run.py, %d interleaved rounds, medians) on %s, %s." % (
                a.rounds, machine(), time.strftime("%Y-%m-%d")),
            "Peers: %s; %s; %s." % (tool_version("dpkg-query -W liblinear-tools"),
                                    tool_version("dpkg-query -W fasttext"),
                                    tool_version("hyperfine --version")),
            "Load average (1 min) %.1f at the start, %.1f at the end: the machine is shared, "
            "so absolute times vary from run to run; the rounds are interleaved so that "
            "the ratios compare programs under the same load." % (load_before, os.getloadavg()[0]),
            "", "Load = one-line run; 100k lines s = the run on the whole input; lines/s = "
            "(n × lines - 1) / (run on the input repeated n times - one-line run), n = %s; "
            "ratios > 1 favour the decoder (memory: the decoder's share)." % ", ".join(
                "%d for %s" % (REPEAT[z], z) for z in a.sizes.split(",")), ""] + head + rows + [""] + [
                "- " + n for n in notes] + ["", "Total benchmark time %.0f s." % (
                    time.time() - started), ""]
    # The sections measured by the other benchmarks (engine, Python, server)
    # follow this table in the same file and are kept.
    kept = ""
    if os.path.exists(a.results):
        with open(a.results) as f:
            old = f.read()
        if OTHER_SECTIONS in old:
            kept = "\n" + old[old.index(OTHER_SECTIONS):]
    with open(a.results, "w") as f:
        f.write("\n".join(text) + kept)
    sys.stdout.write("\n".join(text))


if __name__ == "__main__":
    main()
