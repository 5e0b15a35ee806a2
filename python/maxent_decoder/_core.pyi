"""Compiled core of maxent_decoder: a loaded classifier model and its load error."""

import os
from typing import Iterable

from ._errors import ModelError as ModelError

class Model:
    """A classifier model and its feature dictionary, loaded once; immutable and thread-safe."""

    def __init__(self, model_dir: str | os.PathLike[str], dictionary: str | os.PathLike[str]) -> None:
        """Loads the model folder and the dictionary; raises ModelError on failure."""
    @property
    def classes(self) -> list[str]:
        """The class name of each classifier, in classifier order."""
    def predict(self, text: str, k: int = 1) -> list[tuple[str, float]]:
        """The min(k, len(classes)) best classes of text with their scores, best first."""
    def predict_batch(
        self, texts: Iterable[str], k: int = 1, threads: int = 0
    ) -> list[list[tuple[str, float]]]:
        """predict for every text, in input order, on `threads` threads (0: one per core)."""
    def _classify_cpu_seconds(self, texts: Iterable[str], k: int = 1) -> float: ...
    def __reduce__(self) -> tuple[type[Model], tuple[str, str]]: ...
