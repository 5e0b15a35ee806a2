"""maxent_decoder.Model against the command-line decoder, and its argument and load errors."""

import pathlib
import pickle
import re
import shutil
from concurrent.futures import ThreadPoolExecutor

import pytest
from conftest import EXAMPLES, ROOT, answer_line, run_decoder

import maxent_decoder as md

GOLDEN = sorted((ROOT / "tests" / "data" / "golden").glob("*/expected.stdout"))


def nbest_of(args: str) -> int:
    words = args.split()
    return int(words[words.index("-n") + 1]) if "-n" in words else 1


def check_answers(model, lines, expected, k):
    """Every line not holding the end marker is answered as `expected` prints it."""
    kept = [i for i, line in enumerate(lines) if "...EOS..." not in line]
    texts = [lines[i] for i in kept]
    assert [answer_line(model.predict(t, k)) for t in texts] == [expected[i] for i in kept]
    # Any number of threads, in the batch or calling predict, gives the same answers.
    copies = 200 // max(len(texts), 1) + 1
    for threads in (1, 2, 5):
        assert [answer_line(a) for a in model.predict_batch(iter(texts * copies), k, threads)] \
            == [expected[i] for i in kept] * copies
    with ThreadPoolExecutor(4) as pool:
        assert list(map(answer_line, pool.map(lambda t: model.predict(t, k), texts))) == \
            [expected[i] for i in kept]


def lines_of(data: bytes):
    """The lines the command line reads: each up to and including its "\\n"."""
    return [line for line in re.split(r"(?<=\n)", data.decode("utf-8", "surrogateescape")) if line]


@pytest.mark.parametrize("k", [1, 3, 20])
def test_examples_answer_like_the_command_line(example, k):
    data = (EXAMPLES / "input.txt").read_bytes()
    out = run_decoder(EXAMPLES / "model", EXAMPLES / "dict.txt", k, data)
    assert out.returncode == 0
    expected = [line.rstrip("\n") for line in lines_of(out.stdout)]
    check_answers(example, lines_of(data), expected, k)
    # The decoder lists the classes in classifier order while loading.
    listed = next(line for line in out.stderr.decode().splitlines() if line.startswith("Classes:"))
    assert example.classes == listed.split()[1:]


@pytest.mark.parametrize("expected", GOLDEN, ids=lambda path: path.parent.name)
def test_golden_cases_answer_as_recorded(expected):
    case = expected.parent
    model = md.Model(case / "model", case / "dict.txt")
    k = max(nbest_of((case / "args").read_text()), 0)
    check_answers(model, lines_of((case / "input.txt").read_bytes()),
                  [line.rstrip("\n") for line in lines_of(expected.read_bytes())], k)


def test_failed_loads_raise_model_error_with_the_command_lines_message(tmp_path):
    corrupt = tmp_path / "corrupt"
    shutil.copytree(EXAMPLES / "model", corrupt)
    with open(corrupt / "zanda.parm", "a") as parm:
        parm.write("kernel k9 { never closed\n")
    bad_dict = tmp_path / "dict.txt"
    bad_dict.write_text("1 one\n2\n")
    missing = tmp_path / "missing"
    cases = [(missing, EXAMPLES / "dict.txt", "user_input", "ZDIO::force_open", missing),
             (corrupt, EXAMPLES / "dict.txt", "user_input", "extract_block", "never closed"),
             (EXAMPLES / "model", bad_dict, "dictionary", "", bad_dict)]
    for model_dir, dictionary, category, label, named in cases:
        with pytest.raises(md.ModelError) as caught:
            md.Model(model_dir, dictionary)
        error = caught.value
        assert isinstance(error, ValueError)
        assert (error.category, error.label) == (category, label)
        assert str(named) in str(error)
        assert str(error) in run_decoder(model_dir, dictionary, 1, b"").stderr.decode()
        again = pickle.loads(pickle.dumps(error))
        assert (type(again), str(again), again.category, again.label) == \
            (md.ModelError, str(error), category, label)


def test_bad_arguments_raise_type_and_value_errors(example):
    cases = [(lambda: example.predict(b"billing"), TypeError, "text must be str, not bytes"),
             (lambda: example.predict(None), TypeError, "text must be str"),
             (lambda: example.predict("billing", "3"), TypeError, ""),
             (lambda: example.predict("billing", -1), ValueError, "k must not be negative"),
             (lambda: example.predict("bill\0ing"), ValueError, "text contains a NUL"),
             (lambda: example.predict_batch(["a", "b", 7]), TypeError, "texts[2] must be str, not int"),
             (lambda: example.predict_batch(["a", "b\0"]), ValueError, "texts[1] contains a NUL"),
             (lambda: example.predict_batch("billing"), TypeError, "not a single str"),
             (lambda: example.predict_batch(3), TypeError, "not iterable"),
             (lambda: example.predict_batch(["a"], threads=-2), ValueError, "threads must not be"),
             (lambda: md.Model(3, EXAMPLES / "dict.txt"), TypeError, "model_dir must be str"),
             (lambda: md.Model(EXAMPLES / "model", b"dict.txt"), TypeError, "dictionary must be"),
             (lambda: md.Model(EXAMPLES / "mo\0del", "dict.txt"), ValueError, "NUL")]
    for call, error, message in cases:
        with pytest.raises(error) as caught:
            call()
        assert message in str(caught.value)
    assert example.predict("billing", 0) == []
    assert example.predict_batch(iter(["billing", "roaming"]), 0) == [[], []]
    assert example.predict_batch([], 3) == []


def test_models_pickle_as_their_paths_and_load_again(example):
    model = md.Model(str(EXAMPLES / "model"), pathlib.Path(EXAMPLES / "dict.txt"))
    assert model.__reduce__() == (md.Model, (str(EXAMPLES / "model"), str(EXAMPLES / "dict.txt")))
    again = pickle.loads(pickle.dumps(model))
    assert again is not model and again.classes == example.classes
    texts = (EXAMPLES / "input.txt").read_text().splitlines()
    assert again.predict_batch(texts, 4) == example.predict_batch(texts, 4)
