"""Exports a trained five-point checkpoint to the library's model file, checks
runtime parity and writes the parity fixture.

  /usr/bin/python3 -m modelkit export five-points \
      [--checkpoint modelkit/runs/five_points_best.pt] [--out models/cdcn_iter_500000.dat]

Parity is checked on crops of the public-domain portraits in
../shared/data/photos (obama.jpg, biden.jpg; cut the library's way from the
canonical box of the dlib teacher's points), a pseudo-random input and a few
hundred validation crops. The fixture holds only the portrait crops and the
pseudo-random input.
"""
import argparse
import os

import numpy as np

from modelkit.data import crops, datasets
from modelkit.data.face_box import five_from_68
from modelkit.export import parity
from modelkit.export import torch_to_stdcnn as export
from modelkit.nets.five_point_net import load_checkpoint_model

def portrait_crops():
    out = [crops.clean_sample(grey, five_from_68(pts68))[0]
           for _, grey, pts68 in datasets.teacher_labelled_portraits()]
    return np.stack(out).astype(np.float32)


def pseudo_random_crop(seed=7):
    rng = np.random.default_rng(seed)
    return np.floor(rng.random((1, crops.CROP, crops.CROP)) * 256).astype(np.float32)


def validation_crops(count=300):
    faces = [f for f in datasets.load_sources(["mtfl5", "frames68"]) if datasets.is_validation(f.group)]
    idx = np.random.default_rng(0).permutation(len(faces))[:count]
    return np.stack([crops.clean_sample(faces[i].grey, faces[i].points)[0] for i in idx]).astype(np.float32)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--checkpoint", default=os.path.join(datasets.RUNS, "five_points_best.pt"))
    ap.add_argument("--out", default=os.path.join(datasets.REPO, "models", "cdcn_iter_500000.dat"))
    args = ap.parse_args()

    model = load_checkpoint_model(args.checkpoint)
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    exported = export.export_to_file(model, (1, crops.CROP, crops.CROP), args.out)
    print("wrote %s: %d layers (%s)" % (args.out, len(exported.layers),
                                        ", ".join(l.type for l in exported.layers)))

    fixture_inputs = np.concatenate([portrait_crops(), pseudo_random_crop()])[:, None]
    check_inputs = np.concatenate([fixture_inputs, validation_crops()[:, None]])
    parity.check_then_write_fixture(model, args.out, check_inputs, fixture_inputs)


if __name__ == "__main__":
    main()
