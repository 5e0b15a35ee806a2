"""Shared fixtures: the repository's example model and the command-line decoder as reference."""

import os
import subprocess
from pathlib import Path

import pytest

import maxent_decoder as md

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
DECODER = Path(os.environ.get("MAXENT_DECODER", ROOT / "build" / "MaxEntDecoder"))


def run_decoder(model_dir, dictionary, k, text: bytes) -> subprocess.CompletedProcess:
    """MaxEntDecoder -m model_dir -d dictionary -n k on `text`."""
    return subprocess.run([str(DECODER), "-m", str(model_dir), "-d", str(dictionary), "-n", str(k)],
                          input=text, capture_output=True)


def answer_line(answer) -> str:
    """An answer as the command line prints it, newline excluded."""
    return "".join(f"{name}:{score:g} " for name, score in answer)


@pytest.fixture(scope="session")
def example():
    return md.Model(EXAMPLES / "model", EXAMPLES / "dict.txt")
