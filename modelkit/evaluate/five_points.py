"""Quality of a five-point model file, measured through the library's own
code path: modelkit/cpp/eval_five_points loads the file into a Net, reads
each photo as grey, enlarges the canonical face box with enlargeToSquare and
runs alignFivePoints.

  /usr/bin/python3 -m modelkit evaluate five-points [--model models/cdcn_iter_500000.dat]
        [--sources mtfl5 frames68 lfw_grey] [--jitter 0.08] [--detector-boxes]

Error of a face: the mean distance of the five points to the annotation,
divided by the distance between the two annotated eye centres. Reported per
source over the validation hold-out (datasets.is_validation): mean, median,
share of faces above 10 %. The frames68 points are compared in 0-based pixel
coordinates (their file counts from 1, see data/datasets.py), and also as written. With --jitter f the boxes are also shifted by up to
+-f of their side and scaled by up to +-(f + 2 %) (a seeded imitation of
detector boxes) for a second table. With --detector-boxes, a third on the
boxes the shipped detector gives these faces (data/detected_boxes.py; the
faces it finds). The timing is alignFivePoints' own (crop,
resize, network, mapping) as measured by the C++ program.
"""
import argparse
import os
import subprocess
import sys
import tempfile

import numpy as np

from modelkit.data import datasets, detected_boxes
from modelkit.data.face_box import canonical_face_box, jittered_square

EVALUATOR = os.path.join(datasets.HELPERS, "eval_five_points")


def run(model, faces, boxes):
    with tempfile.TemporaryDirectory() as tmp:
        listing, out = os.path.join(tmp, "list.txt"), os.path.join(tmp, "out.txt")
        with open(listing, "w") as f:
            for face, b in zip(faces, boxes):
                f.write("%s %d %d %d %d\n" % (datasets.photo_path(face), *b))
        res = subprocess.run([EVALUATOR, model, listing, out], check=True, capture_output=True, text=True)
        rows = np.loadtxt(out, ndmin=2)
    return rows[:, 0], rows[:, 1:].reshape(-1, 5, 2), res.stdout.strip()


def errors(pred, truth):
    iod = np.linalg.norm(truth[:, 1] - truth[:, 0], axis=1)
    return np.linalg.norm(pred - truth, axis=2).mean(1) / iod


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--model", default=os.path.join(datasets.REPO, "models", "cdcn_iter_500000.dat"))
    ap.add_argument("--sources", nargs="+", default=["mtfl5", "frames68", "lfw_grey"])
    ap.add_argument("--jitter", type=float, default=0.0)
    ap.add_argument("--detector-boxes", action="store_true",
                    help="also on the boxes the shipped detector gives the faces")
    args = ap.parse_args()
    if not os.path.exists(EVALUATOR):
        sys.exit("modelkit: build the helpers first (see modelkit/README.md): %s is missing" % EVALUATOR)

    print("model %s" % args.model)
    print("%-10s %-8s %6s %8s %8s %8s" % ("source", "boxes", "faces", "mean", "median", ">10%"))
    for source in args.sources:
        faces = [f for f in datasets.LOADERS[source]() if datasets.is_validation(f.group)]
        truth = np.stack([f.points + np.asarray(f.offset, np.float64) for f in faces])
        boxes = [canonical_face_box(t) for t in truth]
        variants = [("clean", faces, truth, boxes)]
        if args.jitter > 0:
            rng = np.random.default_rng(1)
            variants.append(("jitter", faces, truth, [jittered_square(b, rng, args.jitter) for b in boxes]))
        if args.detector_boxes:
            relations = detected_boxes.relations(faces)
            found = [k for k, f in enumerate(faces) if (f.source, f.name) in relations]
            found_boxes = [detected_boxes.box_before_enlargement(truth[k], relations[(faces[k].source, faces[k].name)])
                           for k in found]
            variants.append(("detector", [faces[k] for k in found], truth[found], found_boxes))
        for label, faces_shown, truth_shown, bxs in variants:
            status, pred, timing = run(args.model, faces_shown, bxs)
            ok = status == 0
            e = errors(pred[ok], truth_shown[ok])
            print("%-10s %-8s %6d %7.2f%% %7.2f%% %7.1f%%   (%d failed)"
                  % (source, label, ok.sum(), 100 * e.mean(), 100 * np.median(e),
                     100 * (e > 0.1).mean(), (~ok).sum()), flush=True)
            if source == "frames68":
                # The file's own numbers count pixels from 1 (see data/datasets.py).
                raw = errors(pred[ok], truth_shown[ok] + datasets.FRAMES68_FIRST_PIXEL)
                print("%-10s %-8s %6d %7.2f%% %7.2f%% %7.1f%%   (against the file's 1-based numbers)"
                      % (source, label, ok.sum(), 100 * raw.mean(), 100 * np.median(raw),
                         100 * (raw > 0.1).mean()), flush=True)
            print("           %s" % timing, flush=True)


if __name__ == "__main__":
    main()
