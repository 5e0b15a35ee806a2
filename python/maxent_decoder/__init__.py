"""Text classification with a loaded maximum-entropy model.

    import maxent_decoder as md
    model = md.Model("examples/model", "examples/dict.txt")
    model.predict("cancel my service", k=3)    # [(name, score), ...], best first
    model.predict_batch(lines, k=3)            # one such list per line, on all cores

The answers are those of the command-line decoder MaxEntDecoder: the same
classes in the same order, and f"{score:g}" is its printed score. A failed
load raises ModelError. maxent_decoder.dask classifies the lines of a Dask bag.
"""

from ._core import Model, ModelError

__all__ = ["Model", "ModelError"]
