"""Parity between a PyTorch module and its exported "stdcnn" file run by the
library's runtime (modelkit/cpp/run_stdcnn), and the parity fixtures that
ship next to the models (models/parity/<model>.fixture) for the C++ test
tests/modelkit/shipped_models_test.cpp.

A run agrees when max |torch - runtime| <= 1e-4 x the range of the torch
outputs (max - min over the sample inputs).
"""
import os
import subprocess
import sys
import tempfile

import numpy as np
import torch

from modelkit.data import datasets
from modelkit.formats import stdcnn

sys.path.insert(0, os.path.join(datasets.REPO, "tests", "fixtures"))
from fixture_io import write_fixture  # noqa: E402

RUNNER = os.path.join(datasets.HELPERS, "run_stdcnn")
RELATIVE_TOLERANCE = 1e-4


def run_runtime(model_path, inputs):
    """Runs the file on inputs (N, C, H, W) in the C++ runtime; returns the
    outputs as an (N, K) float32 array (all output blobs of an item, in order)."""
    if not os.path.exists(RUNNER):
        sys.exit("modelkit: build the helpers first (see modelkit/README.md): %s is missing" % RUNNER)
    x = np.ascontiguousarray(inputs, dtype="<f4")
    with tempfile.TemporaryDirectory() as tmp:
        src, dst = os.path.join(tmp, "in.f32"), os.path.join(tmp, "out.f32")
        x.tofile(src)
        subprocess.run([RUNNER, model_path, src, dst], check=True, stdout=subprocess.DEVNULL)
        return np.fromfile(dst, "<f4").reshape(len(x), -1)


def torch_outputs(module, inputs):
    module.eval()
    with torch.no_grad():
        return module(torch.from_numpy(np.asarray(inputs, np.float32))).reshape(len(inputs), -1).numpy()


def tolerance(expected):
    span = float(expected.max() - expected.min())
    return RELATIVE_TOLERANCE * max(span, 1e-6)


def check(module, model_path, inputs):
    """(max abs difference, tolerance, agrees) of module vs the exported file."""
    want = torch_outputs(module, inputs)
    got = run_runtime(model_path, inputs)
    if got.shape != want.shape:
        raise ValueError("runtime gave %s values, torch %s" % (got.shape, want.shape))
    diff = float(np.abs(got - want).max())
    tol = tolerance(want)
    return diff, tol, diff <= tol


def fixture_path(model_path):
    folder = os.path.join(os.path.dirname(os.path.abspath(model_path)), "parity")
    return os.path.join(folder, os.path.basename(model_path).rsplit(".", 1)[0] + ".fixture")


def write_parity_fixture(module, model_path, inputs):
    """Writes models/parity/<model>.fixture: the inputs, torch's outputs and
    the absolute tolerance the runtime must meet."""
    want = torch_outputs(module, inputs)
    path = fixture_path(model_path)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    model = stdcnn.read(model_path)
    write_fixture(path,
                  tensors={"input": np.asarray(inputs, np.float32), "expected": want},
                  texts={"model": os.path.basename(model_path),
                         "tolerance": "%.9g" % tolerance(want),
                         "input_shape": "%d %d %d" % (model.channels, model.height, model.width)})
    return path


def check_then_write_fixture(module, model_path, check_inputs, fixture_inputs):
    """What an export ends with: the parity check on check_inputs, printed;
    on failure the program stops, otherwise the fixture of fixture_inputs is
    written and its path printed."""
    diff, tol, ok = check(module, model_path, check_inputs)
    print("parity on %d inputs: max abs difference %.3g, tolerance %.3g: %s"
          % (len(check_inputs), diff, tol, "ok" if ok else "FAILED"))
    if not ok:
        sys.exit(1)
    path = write_parity_fixture(module, model_path, fixture_inputs)
    print("wrote %s (%d inputs)" % (path, len(fixture_inputs)))
