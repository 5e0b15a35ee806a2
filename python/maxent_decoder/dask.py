"""Classifying the lines of a Dask bag, on a cluster or on local processes.

    import dask.bag as db
    from maxent_decoder.dask import classify_bag

    lines = db.read_text("big.txt", blocksize="16MiB")
    answers = classify_bag(lines, "/shared/model", "/shared/model/dict.txt", k=3)
    output = "".join(answers.compute())
    # or one file per partition, concatenated in order:
    answers.map_partitions(lambda part: ["".join(part)]).to_textfiles("out/*.txt")

Element i of the result is the command line's answer to line i of the input
(each element is one line), newline included: "name:score " per class and
"\\n", or "...EOS...\\n" for a line holding the end marker. So "".join of the
computed elements, in order, is byte for byte what MaxEntDecoder -n k prints
for the input lines joined (read_text keeps each line's newline). Like the
command line, a line is read in pieces of 999998 bytes, each answered on a
line of its own (all in the line's element), and up to its first NUL.

The paths are opened by the workers: they must name the model and the
dictionary on every worker. Each worker process loads a model once and keeps
it for every later partition and call.
"""

from __future__ import annotations

import os
import threading
from typing import Iterable

import dask.bag

from . import Model

END_MARKER = "...EOS..."
# The command line reads a line in pieces of at most this many bytes.
_PIECE_BYTES = 999_998

_models: dict[tuple[str, str], Model] = {}
_models_lock = threading.Lock()
_loads = 0


def classify_bag(bag: dask.bag.Bag, model_dir: str | os.PathLike[str],
                 dictionary: str | os.PathLike[str], k: int = 1) -> dask.bag.Bag:
    """A bag of the command line's answer lines to the lines of `bag`, in order.

    Each element is the answer to one input element, ending in "\\n" (see the
    module's documentation); k is the number of classes per line, as -n k.
    """
    if not isinstance(k, int):
        raise TypeError("k must be int, not %s" % type(k).__name__)
    if k < 0:
        raise ValueError("k must not be negative")
    return bag.map_partitions(_answer_lines, os.fspath(model_dir), os.fspath(dictionary), k)


def load_count() -> int:
    """How many models this process has loaded for classify_bag (one per pair of paths)."""
    return _loads


def _model(model_dir: str, dictionary: str) -> Model:
    """The process's model for these paths, loaded on first use."""
    global _loads
    key = (model_dir, dictionary)
    with _models_lock:
        model = _models.get(key)
        if model is None:
            model = _models[key] = Model(model_dir, dictionary)
            _loads += 1
        return model


def _pieces(line: str) -> list[str]:
    """The texts the command line answers for one input line, one per piece."""
    if len(line) * 4 <= _PIECE_BYTES and "\0" not in line:  # one piece whatever its encoding
        return [line]
    data = line.encode("utf-8", "surrogateescape")
    return [data[at:at + _PIECE_BYTES].split(b"\0", 1)[0].decode("utf-8", "surrogateescape")
            for at in range(0, max(len(data), 1), _PIECE_BYTES)]


def _answer_lines(lines: Iterable[str], model_dir: str, dictionary: str, k: int) -> list[str]:
    """One partition: the answer of every line, one answer line per piece."""
    model = _model(model_dir, dictionary)
    pieces = [_pieces(line) for line in lines]
    # The Dask worker's own threads run partitions side by side.
    answers = iter(model.predict_batch(
        [piece for line in pieces for piece in line if END_MARKER not in piece], k, threads=1))
    return ["".join(END_MARKER + "\n" if END_MARKER in piece
                    else "".join(f"{name}:{score:g} " for name, score in next(answers)) + "\n"
                    for piece in line) for line in pieces]
