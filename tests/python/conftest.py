"""Shared fixtures of the Python module tests.

ctest runs them with PYTHONPATH naming the built module and KX_* variables
naming the source tree, the C++ reference program and the project version;
by hand: PYTHONPATH=build/python /usr/bin/python3 -m pytest tests/python
"""
import json
import os
import pathlib
import subprocess

import cv2
import numpy as np
import pytest

SOURCE_DIR = pathlib.Path(os.environ.get("KX_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2]))
BUILD_DIR = pathlib.Path(os.environ.get("KX_BUILD_DIR", SOURCE_DIR / "build"))
MODEL_DIR = SOURCE_DIR / "models"
PORTRAITS = sorted((SOURCE_DIR / "samples").glob("*.jpg"))


@pytest.fixture(scope="session")
def portraits():
    """The sample portraits as cv2.imread reads them, by file name."""
    assert PORTRAITS, "no sample portraits in samples/"
    return {p.name: cv2.imread(str(p), cv2.IMREAD_COLOR) for p in PORTRAITS}


@pytest.fixture(scope="session")
def cpp_answers(tmp_path_factory):
    """What kx::FaceAnalyzer answers in C++ for each portrait (see analyzer_reference.cpp)."""
    tool = os.environ.get("KX_ANALYZER_REFERENCE", str(BUILD_DIR / "tests" / "kx_analyzer_reference"))
    out = tmp_path_factory.mktemp("reference") / "answers.jsonl"
    subprocess.run([tool, str(MODEL_DIR), str(out)] + [str(p) for p in PORTRAITS], check=True,
                   stdout=subprocess.DEVNULL)
    answers = [json.loads(line) for line in out.read_text().splitlines()]
    return {pathlib.Path(a["image"]).name: a for a in answers}


def shifted_frames(image):
    """The image moved right and down by k * (6, 3) pixels, k = 0..3, on black."""
    frames = []
    height, width = image.shape[:2]
    for k in range(4):
        dx, dy = 6 * k, 3 * k
        frame = np.zeros_like(image)
        frame[dy:, dx:] = image[:height - dy, :width - dx]
        frames.append(frame)
    return frames
