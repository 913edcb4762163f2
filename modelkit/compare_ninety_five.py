"""Validation errors of trained 95-point networks and of the means of every
group of them, to choose the networks that export_ninety_five.py averages
into one file.

  /usr/bin/python3 modelkit/compare_ninety_five.py A.pt B.pt C.dat ... [--largest 3]

Each argument is a training checkpoint or a file of one standard-width
network. The crops are train_ninety_five.py's validation crops (the
validation hold-out of frames68 and lfw_grey, canonical boxes, five points
from the shipped five-point network in torch), so the figures match that
script's log; the library's own path (eval_ninety_five.py) measures the
exported file afterwards. Printed per network and per group, best frames68
figure first: the derived five-point error and the 95-point error on both
sources, and the share of faces the mean logits accept.
"""
import argparse
import itertools
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import datasets  # noqa: E402
import samples95  # noqa: E402
from ninety_five_net import load_checkpoint_model  # noqa: E402
from train_ninety_five import (VALIDATION_SOURCES, face_probability, point_errors, run_batches,  # noqa: E402
                               set_threads, validation_face_crops)


def validation_crops():
    faces = [f for f in samples95.load_frames68() + samples95.load_lfw_grey() if datasets.is_validation(f.group)]
    return validation_face_crops(samples95.CropMaker(np.random.default_rng(1)), faces)


def scores(outputs, val):
    """Errors of the mean of several networks' outputs."""
    row = {}
    for source in VALIDATION_SOURCES:
        points = sum(o[source][0] for o in outputs) / len(outputs)
        logits = sum(o[source][1] for o in outputs) / len(outputs)
        e95, e5 = point_errors(points, val[source][1])
        row[source] = (float(e5.mean()), float(e95.mean()), float((face_probability(logits) > 0.5).float().mean()))
    return row


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("networks", nargs="+", help=".pt checkpoints or .dat files of one network")
    ap.add_argument("--largest", type=int, default=3, help="largest group size to try (default 3)")
    args = ap.parse_args()
    names = [os.path.basename(p) for p in args.networks]
    if len(set(names)) != len(names):
        names = args.networks
    set_threads()
    val = validation_crops()
    outputs = []
    for path in args.networks:
        net = load_checkpoint_model(path)
        outputs.append({s: run_batches(net, val[s][0]) for s in VALIDATION_SOURCES})
    rows = []
    for k in range(1, min(args.largest, len(outputs)) + 1):
        for group in itertools.combinations(range(len(outputs)), k):
            rows.append((" + ".join(names[i] for i in group), scores([outputs[i] for i in group], val)))
    rows.sort(key=lambda r: r[1]["frames68"][0])
    print("%-60s %s" % ("networks", "  ".join("%s: 5p    95p   faces" % s for s in VALIDATION_SOURCES)))
    for label, row in rows:
        print("%-60s %s" % (label, "  ".join("%s %.2f%% %.2f%% %.1f%%" % (" " * (len(s) - 1), 100 * row[s][0],
                                                                         100 * row[s][1], 100 * row[s][2])
                                            for s in VALIDATION_SOURCES)))


if __name__ == "__main__":
    main()
