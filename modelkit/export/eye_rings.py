"""Renumbers the eye rings of a 95-point network file and of a cascade file
one step along the ring, exactly, without training.

  /usr/bin/python3 -m modelkit export eye-rings --net IN.dat OUT.dat --cascade IN.bin OUT.bin

The network's parity fixture (parity/<name>.fixture next to it) is
renumbered alongside when there is one.

The library takes an eye centre as the mean of rows 39 and 45 (51 and 57).
The layout first put the eye corners there, whose midpoint sits below the
centre of the eye's six points (the usual eye centre of 68-point labels):
on the faces300w labels the five points moved 0.85 % of the eye distance.
One step along each ring (data/layout95.py: rows 39 and 45 now midpoints of
the image-left corner and the upper lid's first point, of the other corner
and the lower lid's first point) cuts that gap to 0.20 %.

A file trained on the old numbering becomes one of the new numbering by
permuting what it holds per point, with no other change:
- the network: the rows of the points output (x, y per point) and their
  biases;
- the cascade: the mean shape, the leaf tables' columns and the landmark
  index of every split feature. The shape box moves with rows 39, 45, 51,
  57, but a cascade's features and increments scale with the box and its
  similarity fit is centred, so the predictions stay the same (to float
  rounding).
"""
import argparse
import os
import sys

import numpy as np

from modelkit.data import datasets
from modelkit.data.layout95 import EYE_RING_ROWS, POINTS
from modelkit.export.parity import fixture_path
from modelkit.formats import cascade95, stdcnn

sys.path.insert(0, os.path.join(datasets.REPO, "tests", "fixtures"))
from fixture_io import read_fixture, write_fixture  # noqa: E402


def new_from_old():
    """Row k of a renumbered shape is row new_from_old()[k] of an old one."""
    order = np.arange(POINTS)
    for first in EYE_RING_ROWS:
        ring = np.arange(first, first + 12)
        order[ring] = np.roll(ring, -1)
    return order


def _point_columns(order):
    """Column permutation of a flat (x0, y0, x1, y1, ...) vector."""
    return np.stack([2 * order, 2 * order + 1], 1).reshape(-1)


def renumber_network(model):
    """The model with its 190-value points output permuted (in place)."""
    columns = _point_columns(new_from_old())
    points = None
    for layer in model.layers:
        if layer.type == "fullconnect" and layer.weights and layer.weights[1].size == 2 * POINTS:
            points = layer
    if points is None:
        raise SystemExit("eye-rings: the network has no fullconnect layer of %d outputs" % (2 * POINTS))
    w, b = points.weights
    points.weights = [w.reshape(2 * POINTS, -1)[columns].reshape(-1).copy(), b[columns].copy()]
    return model


def renumber_cascade(cascade):
    """The cascade with its points renumbered (in place)."""
    order = new_from_old()
    old_to_new = np.argsort(order)
    cascade.mean = cascade.mean[order].copy()
    columns = _point_columns(order)
    for stage in cascade.stages:
        stage.table = stage.table[:, columns].copy()
        for tree in stage.trees:
            for node in tree.nodes:
                if 0 <= node.la < POINTS:
                    node.la = int(old_to_new[node.la])
                if 0 <= node.lb < POINTS:
                    node.lb = int(old_to_new[node.lb])
    return cascade


def renumber_fixture(source, target):
    """The parity fixture of a renumbered network: the same inputs, the
    points columns of the expected outputs permuted (each output is the same
    sum of the same products, only in another place)."""
    tensors, texts = read_fixture(source)
    expected = tensors["expected"].copy()
    expected[:, :2 * POINTS] = expected[:, _point_columns(new_from_old())]
    tensors["expected"] = expected
    texts["model"] = os.path.basename(target).rsplit(".", 1)[0] + ".dat"
    write_fixture(target, tensors=tensors, texts=texts)


def main():
    ap = argparse.ArgumentParser(prog="python3 -m modelkit export eye-rings",
                                 description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--net", nargs=2, metavar=("IN", "OUT"), help="a 95-point network file")
    ap.add_argument("--cascade", nargs=2, metavar=("IN", "OUT"), help="a cascade file")
    args = ap.parse_args()
    if not args.net and not args.cascade:
        ap.error("give --net, --cascade or both")
    if args.net:
        stdcnn.write(renumber_network(stdcnn.read(args.net[0])), args.net[1])
        print("%s -> %s" % tuple(args.net))
        fixtures = fixture_path(args.net[0]), fixture_path(args.net[1])
        if os.path.exists(fixtures[0]):
            os.makedirs(os.path.dirname(fixtures[1]), exist_ok=True)
            renumber_fixture(*fixtures)
            print("%s -> %s" % fixtures)
    if args.cascade:
        cascade95.write(renumber_cascade(cascade95.read(args.cascade[0])), args.cascade[1])
        print("%s -> %s" % tuple(args.cascade))


if __name__ == "__main__":
    main()
