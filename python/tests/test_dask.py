"""maxent_decoder.dask: a bag of lines answered as the command line answers the file."""

import dask.bag as db
import pytest
from conftest import EXAMPLES, run_decoder
from distributed import Client, LocalCluster

import maxent_decoder as md
from maxent_decoder.dask import classify_bag, load_count

MODEL, DICT = EXAMPLES / "model", EXAMPLES / "dict.txt"


def test_lines_the_command_line_reads_in_pieces_or_up_to_a_nul():
    lines = ["cancel my service\n", "...EOS... at the end\n", "billing \0...EOS...\n",
             "bills " + "l\u00e9ger roaming " * 140_000 + "\n",  # three pieces, the first ending in "\xc3"
             "\udcff\udcfe outage\n", "\n", "roaming without a newline"]
    data = "".join(lines).encode("utf-8", "surrogateescape")
    answers = classify_bag(db.from_sequence(lines, npartitions=3), MODEL, DICT, k=2)
    got = answers.compute(scheduler="sync")
    assert len(got) == len(lines) and got[3].count("\n") == 3
    assert "".join(got).encode("utf-8", "surrogateescape") == run_decoder(MODEL, DICT, 2, data).stdout
    with pytest.raises(ValueError):
        classify_bag(db.from_sequence(lines), MODEL, DICT, k=-1)


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=2, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        yield client


def test_a_file_in_eight_partitions_on_two_workers_gives_the_command_lines_output(
        client, tmp_path):
    lines = (EXAMPLES / "input.txt").read_text().splitlines(keepends=True)
    text = "".join(lines[i % len(lines)] for i in range(20_000))
    path = tmp_path / "input.txt"
    path.write_text(text)
    bag = db.read_text(str(path), blocksize=len(text) // 8)
    assert bag.npartitions == 8
    answers = classify_bag(bag, MODEL, DICT, k=3)
    assert "".join(answers.compute()).encode() == run_decoder(MODEL, DICT, 3, text.encode()).stdout
    # A second run uses the models the workers keep.
    assert "".join(classify_bag(bag, MODEL, DICT, k=2).compute()).encode() == \
        run_decoder(MODEL, DICT, 2, text.encode()).stdout
    loads = client.run(load_count).values()
    assert len(loads) == 2 and all(n <= 1 for n in loads) and sum(loads) >= 1
    # A worker's failed load reaches the client as it is.
    with pytest.raises(md.ModelError, match="Cannot open") as caught:
        classify_bag(bag, tmp_path / "missing", DICT).compute()
    assert caught.value.category == "user_input"
