"""Shared fixtures. The tests exercise the installed package, not the source tree."""

import sys
from pathlib import Path

import numpy as np
import pytest

# `python -m pytest` puts the working directory on sys.path; at the repository root that would
# shadow the installed package with the source directory zelki/, which has no compiled module.
_REPO_ROOT = Path(__file__).resolve().parents[2]
sys.path[:] = [p for p in sys.path if Path(p or ".").resolve() != _REPO_ROOT]

DATA_DIR = Path(__file__).parent / "data"


@pytest.fixture(scope="session")
def sine_data():
    """n = 300 draws of y = sin(2πt) + N(0, 0.3²) at uniform t, with the truth."""
    rng = np.random.default_rng(20240611)
    t = rng.uniform(0.0, 1.0, 300)
    truth = np.sin(2.0 * np.pi * t)
    y = truth + rng.normal(0.0, 0.3, t.size)
    return t[:, None], y, truth


@pytest.fixture(scope="session")
def gaussian_fit(sine_data):
    import zelki

    x, y, _ = sine_data
    return zelki.fit("gaussian", x, y)
