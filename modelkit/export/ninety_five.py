"""Exports a trained 95-point checkpoint to the library's model file, checks
runtime parity and writes the parity fixture.

  /usr/bin/python3 -m modelkit export ninety-five \
      [--checkpoint modelkit/runs/ninety_five_best.pt] [--out models/cdcn95_verify_iter_50000.dat]

Given --checkpoint more than once (training checkpoints, or files of one
standard-width network), writes one network whose outputs are the mean of
theirs (ninety_five_net.Averaged).

Parity is checked (both outputs: 190 points, then the 2 logits) on the warp
crops of the public-domain portraits in ../shared/data/photos (five points
from the shipped five-point network on the canonical box of the dlib
teacher's points), a pseudo-random input, a smooth face-free gradient, and a
few hundred validation face and non-face crops. The fixture holds the
portraits, the pseudo-random input and the gradient.
"""
import argparse
import os

import numpy as np

from modelkit.data import crops, datasets, samples95, warp_crop
from modelkit.data.face_box import canonical_face_box, enlarge_to_square
from modelkit.export import parity
from modelkit.nets.ninety_five_net import Joined, average_networks, export_to_file, load_checkpoint_model

HELPERS = datasets.HELPERS


def portrait_crops(five):
    out = []
    for _, grey, pts68 in datasets.teacher_labelled_portraits():
        box = enlarge_to_square(canonical_face_box(pts68))
        p5 = five([crops.library_crop(grey, box)], [box])[0]
        out.append(warp_crop.warp_from_five_points(grey, p5)[0])
    return np.stack(out).astype(np.float32)


def pseudo_random_crop(seed=7):
    rng = np.random.default_rng(seed)
    return np.floor(rng.random((1, 60, 60)) * 256).astype(np.float32)


def gradient_crop():
    y, x = np.mgrid[0:60, 0:60]
    return np.floor(40 + 2 * x + 1.2 * y).astype(np.float32)[None]


def validation_crops(five, count=300):
    rng = np.random.default_rng(0)
    maker = samples95.CropMaker(rng, five)
    faces = [f for f in samples95.load_frames68() if datasets.is_validation(f.group)]
    idx = rng.permutation(len(faces))[:count]
    xs, _, _ = maker.faces([faces[i] for i in idx], augment=False)
    photos = [g for n, g in samples95.load_negatives() if samples95.negative_is_validation(n)]
    xs += maker.random_boxes(photos, 100, augment=False)
    return np.stack(xs).astype(np.float32)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--checkpoint", action="append",
                    help="a .pt checkpoint or a .dat file of one network; more than once: their mean "
                    "(default runs/ninety_five_best.pt)")
    ap.add_argument("--out", default=os.path.join(datasets.REPO, "models", "cdcn95_verify_iter_50000.dat"))
    args = ap.parse_args()
    parity.RUNNER = os.path.join(HELPERS, "run_stdcnn")

    paths = args.checkpoint or [os.path.join(datasets.RUNS, "ninety_five_best.pt")]
    nets = [load_checkpoint_model(p) for p in paths]
    net = nets[0] if len(nets) == 1 else average_networks(nets)
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    exported = export_to_file(net, args.out)
    print("wrote %s: %d layers (%s), outputs %s" % (args.out, len(exported.layers),
                                                    ", ".join(l.type for l in exported.layers),
                                                    exported.outputs))

    five = samples95.FivePointRunner()
    fixture_inputs = np.concatenate([portrait_crops(five), pseudo_random_crop(), gradient_crop()])[:, None]
    check_inputs = np.concatenate([fixture_inputs, validation_crops(five)[:, None]])
    joined = Joined(net)
    parity.check_then_write_fixture(joined, args.out, check_inputs, fixture_inputs)


if __name__ == "__main__":
    main()
