#!/usr/bin/env python3
"""The Python bindings (maxent_decoder) next to the command-line decoder.

    VENV/bin/python bench/python_bench.py [--workload build/bench/M]
        [--decoder build/MaxEntDecoder] [--rounds 5] [--partitions 16]

Needs the package installed (bash python/run_tests.sh leaves it in
build/venv) and a workload folder of bench/gen.py (model-bin/, dict.txt,
input.txt, one.txt; `make bench` or `python3 bench/gen.py M build/bench/M`).
Measures, each figure the best of --rounds runs since the machine may be
shared (CPU times too, which other processes disturb less):

  (a) predict_batch(lines, 3, threads=2) in lines/s against MaxEntDecoder -n 3
      on the same lines, whose decoding time is the full run's minus the
      one-line run's (its load);
  (b) the CPU cost of one predict call over the engine's own classify (the
      module's hidden _classify_cpu_seconds), on this workload and on examples/;
  (c) classify_bag on a LocalCluster of two one-thread worker processes: the
      first run (each worker loads the model), a second one (models kept),
      both gathering the answers to the client, and a third writing them from
      the workers with to_textfiles (Dask moves a bag of many short strings
      slowly: the gathered runs show that cost).

Answers are checked against the command line's output. The results are
printed as a Markdown section.
"""

import argparse
import os
import resource
import subprocess
import time

import maxent_decoder as md

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def best_of(rounds, run):
    """The shortest wall time and the shortest CPU time (this process's and
    its children's) of `rounds` calls of run()."""
    walls, cpus = [], []
    for _ in range(rounds):
        start, cpu = time.perf_counter(), cpu_seconds()
        run()
        walls.append(time.perf_counter() - start)
        cpus.append(cpu_seconds() - cpu)
    return min(walls), min(cpus)


def cpu_seconds():
    return sum(getattr(resource.getrusage(who), field)
               for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN)
               for field in ("ru_utime", "ru_stime"))


def decoder_runs(decoder, model_dir, dictionary, input_path, rounds):
    """Best wall and CPU times of MaxEntDecoder -n 3 on input_path, and its output."""
    def run():
        with open(input_path, "rb") as stdin:
            return subprocess.run([decoder, "-m", model_dir, "-d", dictionary, "-n", "3"],
                                  stdin=stdin, capture_output=True, check=True).stdout
    output = run()
    return best_of(rounds, run), output


def printed(answers):
    return "".join("".join(f"{name}:{score:g} " for name, score in answer) + "\n"
                   for answer in answers)


def call_overhead(model, texts, rounds):
    """CPU microseconds per predict call beyond the engine's classify, and classify's own."""
    def python_loop():
        predict = model.predict
        for text in texts:
            predict(text, 3)
    engine = min(model._classify_cpu_seconds(texts, 3) for _ in range(rounds))
    _, loop = best_of(rounds, python_loop)
    return (loop - engine) / len(texts) * 1e6, engine / len(texts) * 1e6


def process_cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def dask_runs(workload, model_dir, dictionary, partitions, expected):
    """Wall seconds of classify_bag runs on two worker processes: the first
    (each worker loads the model) and a second one gathering the answers to
    the client, with its CPU seconds (workers, scheduler and client); then
    one writing them from the workers, one file per partition."""
    import glob
    import tempfile

    import dask.bag as db
    from distributed import Client, LocalCluster

    from maxent_decoder.dask import classify_bag

    input_path = os.path.join(workload, "input.txt")
    size = os.path.getsize(input_path)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client, \
            tempfile.TemporaryDirectory() as out:
        answers = classify_bag(db.read_text(input_path, blocksize=size // partitions),
                               model_dir, dictionary, k=3)

        def cpu():
            return sum(client.run(process_cpu_seconds).values()) + process_cpu_seconds()
        walls = []
        for _ in range(2):
            start, start_cpu = time.perf_counter(), cpu()
            gathered = answers.compute()
            walls.append(time.perf_counter() - start)
            used = cpu() - start_cpu
            assert "".join(gathered).encode() == expected, "Dask answers differ"
        start = time.perf_counter()
        answers.map_partitions(lambda part: ["".join(part)]).to_textfiles(out + "/*.txt")
        walls.append(time.perf_counter() - start)
        written = b""
        for path in sorted(glob.glob(out + "/*.txt"), key=lambda p: int(os.path.basename(p)[:-4])):
            with open(path, "rb") as f:
                written += f.read()
        assert written == expected, "Dask files differ"
    return walls, used


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--workload", default=os.path.join(ROOT, "build", "bench", "M"))
    parser.add_argument("--decoder", default=os.path.join(ROOT, "build", "MaxEntDecoder"))
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--partitions", type=int, default=16)
    args = parser.parse_args()

    model_dir = os.path.join(args.workload, "model-bin")
    dictionary = os.path.join(args.workload, "dict.txt")
    with open(os.path.join(args.workload, "input.txt"), "rb") as f:
        lines = f.read().decode().splitlines(keepends=True)
    n = len(lines)

    input_path = os.path.join(args.workload, "input.txt")
    (full, full_cpu), expected = decoder_runs(args.decoder, model_dir, dictionary, input_path,
                                              args.rounds)
    (load, load_cpu), _ = decoder_runs(args.decoder, model_dir, dictionary,
                                       os.path.join(args.workload, "one.txt"), args.rounds)
    cli_rate, cli_us = (n - 1) / (full - load), (full_cpu - load_cpu) / (n - 1) * 1e6

    start = time.perf_counter()
    model = md.Model(model_dir, dictionary)
    load_py = time.perf_counter() - start
    assert printed(model.predict_batch(lines, 3, threads=2)).encode() == expected, "answers differ"
    batch = {t: best_of(args.rounds, lambda: model.predict_batch(lines, 3, threads=t))
             for t in (1, 2)}

    sample = lines[:20_000]
    overhead, classify_us = call_overhead(model, sample, args.rounds)
    examples = md.Model(os.path.join(ROOT, "examples", "model"),
                        os.path.join(ROOT, "examples", "dict.txt"))
    with open(os.path.join(ROOT, "examples", "input.txt")) as f:
        short = f.read().splitlines(keepends=True)
    overhead_short, classify_short_us = call_overhead(examples, short * (20_000 // len(short)),
                                                      args.rounds)

    (dask_first, dask_warm, dask_files), dask_cpu = dask_runs(args.workload, model_dir, dictionary, args.partitions,
                                      expected)

    name = os.path.basename(os.path.normpath(args.workload))
    print(f"""### Python bindings ({name} workload, {n} lines, -n 3; best of {args.rounds})

Machine: {os.cpu_count()} cores, load average {os.getloadavg()[0]:.1f} at the end.
Every answer below equals the command line's output byte for byte.

| | lines/s | vs command line | CPU per line |
|---|---:|---:|---:|
| MaxEntDecoder -n 3 (load {load:.2f} s subtracted) | {cli_rate:,.0f} | 1.00x | {cli_us:.2f} us |
| predict_batch(lines, 3, threads=1) | {n / batch[1][0]:,.0f} | {n / batch[1][0] / cli_rate:.2f}x | {batch[1][1] / n * 1e6:.2f} us |
| predict_batch(lines, 3, threads=2) | {n / batch[2][0]:,.0f} | {n / batch[2][0] / cli_rate:.2f}x | {batch[2][1] / n * 1e6:.2f} us |
| classify_bag, 2 worker processes, {args.partitions} partitions: first run, gathered (workers load the model) | {n / dask_first:,.0f} | {n / dask_first / cli_rate:.2f}x | |
| the same, models kept, gathered to the client | {n / dask_warm:,.0f} | {n / dask_warm / cli_rate:.2f}x | {dask_cpu / n * 1e6:.2f} us |
| the same, models kept, written by the workers (to_textfiles) | {n / dask_files:,.0f} | {n / dask_files / cli_rate:.2f}x | |
| MaxEntDecoder -n 3, load included | {n / full:,.0f} | {n / full / cli_rate:.2f}x | |

Model load in Python: {load_py:.2f} s (command line: {load:.2f} s).

CPU cost of one predict(text, 3) call beyond the engine's classify (20 000 calls):

| model | classify per line | predict overhead per call |
|---|---:|---:|
| {name} | {classify_us:.2f} us | {overhead:.2f} us |
| examples/ | {classify_short_us:.2f} us | {overhead_short:.2f} us |
""")


if __name__ == "__main__":
    main()
