"""Quality of the 95-point files, measured through the library's own code
path: modelkit/cpp/eval_ninety_five reads each photo as grey, enlarges the
face box with enlargeToSquare, places five points with alignFivePoints (the
shipped five-point network) and runs alignNinetyFivePoints (95-point network,
face check, regression cascade).

  /usr/bin/python3 -m modelkit evaluate ninety-five [--net models/cdcn95_verify_iter_50000.dat]
        [--cascade models/model95_tern.bin] [--jitter 0.08]

Faces: the validation hold-out of frames68 (0-based points) and lfw_grey
(dlib teacher) (--sources: also faces300w), boxes = canonical face box of the labels (and, with
--jitter f, the same boxes shifted by up to +-f of their side and scaled by
up to +-(f + 2 %)). Reported per source: the five points the library derives
from the 95-point shape (fivePointsFromShape) against the same five points of
the labels' 95-point shape (eye centre = midpoint of the eye corners), and
("5p/6-pt") against the five points the five-point network is trained on
(eye centre = mean of the six eye points, which sits ~2.5 % of the eye
distance from the corners' midpoint); all 95 points against the labels in the 95-point layout
(data/layout95.py), each as mean point distance / distance between the labelled
eye centres, averaged over faces; the share of faces the check accepts.
Non-faces: the validation photos of negatives/ with random boxes (through
alignFivePoints like a face) and with random face-shaped five points; the
share accepted must stay small.

It also checks the Python warp (data/warp_crop.py) against the library's
warpFromFivePoints on the random five-point crops (max pixel difference).
"""
import argparse
import math
import os
import subprocess
import sys
import tempfile

import numpy as np

from modelkit.data import datasets, layout95, samples95, warp_crop
from modelkit.data.face_box import canonical_face_box, jittered_square, five_from_68

HELPERS = datasets.HELPERS
EVALUATOR = os.path.join(HELPERS, "eval_ninety_five")
MODELS = os.path.join(datasets.REPO, "models")


def run(args, lines, crops=False):
    """(status, is_face, transforms (N, 2, 3), shapes (N, 95, 2), crops or None, timing line)."""
    with tempfile.TemporaryDirectory() as tmp:
        listing, out, raw = (os.path.join(tmp, n) for n in ("list.txt", "out.txt", "crops.u8"))
        with open(listing, "w") as f:
            f.writelines(l + "\n" for l in lines)
        cmd = [EVALUATOR, args.net, args.five, args.cascade, listing, out] + ([raw] if crops else [])
        res = subprocess.run(cmd, check=True, capture_output=True, text=True)
        rows = np.loadtxt(out, ndmin=2)
        pix = np.fromfile(raw, np.uint8).reshape(-1, 60, 60) if crops else None
    timing = res.stdout.strip().splitlines()[-1]
    return rows[:, 0], rows[:, 1], rows[:, 2:8].reshape(-1, 2, 3), rows[:, 8:].reshape(-1, 95, 2), pix, timing


def face_table(args, source, faces):
    truth68 = np.stack([f.p68 + np.asarray(f.offset, np.float64) for f in faces])
    centres5 = np.stack([five_from_68(t) for t in truth68])
    truth95 = np.stack([layout95.from68(t) for t in truth68])
    truth5 = np.stack([layout95.five_points(t) for t in truth95])
    iod = np.linalg.norm(centres5[:, 1] - centres5[:, 0], axis=1)
    boxes = [canonical_face_box(t) for t in truth68]
    variants = [("clean", boxes)]
    if args.jitter > 0:
        rng = np.random.default_rng(1)
        variants.append(("jitter", [jittered_square(b, rng, args.jitter) for b in boxes]))
    for label, bxs in variants:
        lines = ["%s %d %d %d %d" % (datasets.photo_path(f), *b) for f, b in zip(faces, bxs)]
        status, is_face, _, shapes, _, timing = run(args, lines)
        ok = status == 0
        five = np.stack([layout95.five_points(s) for s in shapes])
        e5 = np.linalg.norm(five - truth5, axis=2).mean(1)[ok] / iod[ok]
        e5c = np.linalg.norm(five - centres5, axis=2).mean(1)[ok] / iod[ok]
        e95 = np.linalg.norm(shapes - truth95, axis=2).mean(1)[ok] / iod[ok]
        print("%-9s %-6s %5d %7.2f%% %7.2f%% %7.1f%% %8.2f%% %7.2f%% %7.2f%% %8.2f%%   (%d failed)"
              % (source, label, ok.sum(), 100 * e5.mean(), 100 * np.median(e5), 100 * (e5 > 0.1).mean(),
                 100 * e5c.mean(), 100 * e95.mean(), 100 * np.median(e95), 100 * is_face[ok].mean(),
                 (~ok).sum()), flush=True)
        print("          %s" % timing, flush=True)


def nonface_table(args, photos, names):
    rng = np.random.default_rng(2)
    box_lines, point_lines, points = [], [], []
    for _ in range(args.nonfaces):
        k = rng.integers(len(photos))
        rows, cols = photos[k].shape
        side = int(math.exp(rng.uniform(math.log(24), math.log(min(rows, cols)))))
        x = int(rng.integers(-side // 6, max(1, cols - side + side // 6)))
        y = int(rng.integers(-side // 6, max(1, rows - side + side // 6)))
        box_lines.append("%s %d %d %d %d" % (names[k], x, y, side, side))
        p5 = samples95.plausible_five(rng, photos[k].shape).astype(np.float32)
        point_lines.append(names[k] + "".join(" %.9g" % v for v in p5.reshape(-1)))
        points.append((k, p5))
    status, is_face, _, _, _, timing = run(args, box_lines)
    ok = status == 0
    print("non-face  boxes  %5d accepted as faces %.2f%%   (%d failed)"
          % (ok.sum(), 100 * is_face[ok].mean(), (~ok).sum()))
    print("          %s" % timing)
    status, is_face, transforms, _, pix, _ = run(args, point_lines, crops=True)
    ok = status == 0
    print("non-face  points %5d accepted as faces %.2f%%   (%d failed)"
          % (ok.sum(), 100 * is_face[ok].mean(), (~ok).sum()))
    worst_pix, worst_t = 0, 0.0
    for j, (k, p5) in enumerate(points):
        if not ok[j]:
            continue
        crop, t = warp_crop.warp_from_five_points(photos[k], p5)
        worst_pix = max(worst_pix, int(np.abs(crop.astype(int) - pix[j].astype(int)).max()))
        worst_t = max(worst_t, float(np.abs(t - transforms[j]).max() / max(1.0, np.abs(t).max())))
    print("warp check: Python vs library on %d crops: max pixel difference %d, "
          "max relative transform difference %.2g" % (ok.sum(), worst_pix, worst_t))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--net", default=os.path.join(MODELS, "cdcn95_verify_iter_50000.dat"))
    ap.add_argument("--five", default=os.path.join(MODELS, "cdcn_iter_500000.dat"))
    ap.add_argument("--cascade", default=os.path.join(MODELS, "model95_tern.bin"))
    ap.add_argument("--jitter", type=float, default=0.0)
    ap.add_argument("--nonfaces", type=int, default=3000)
    ap.add_argument("--sources", nargs="+", default=["frames68", "lfw_grey"])
    args = ap.parse_args()
    if not os.path.exists(EVALUATOR):
        sys.exit("modelkit: build the helpers first (see modelkit/README.md): %s is missing" % EVALUATOR)

    print("net %s\ncascade %s" % (args.net, args.cascade))
    print("%-9s %-6s %5s %8s %8s %8s %9s %8s %8s %9s" % ("source", "boxes", "faces", "5p mean", "5p med",
                                                           "5p >10%", "5p/6-pt", "95p mean", "95p med",
                                                           "accepted"))
    loaders = {"frames68": samples95.load_frames68, "lfw_grey": samples95.load_lfw_grey,
               "faces300w": samples95.load_faces300w}
    for source in args.sources:
        face_table(args, source, [f for f in loaders[source]() if datasets.is_validation(f.group)])
    if args.nonfaces <= 0:
        return
    root = datasets.data_dir("negatives")
    held = [(n, g) for n, g in samples95.load_negatives() if samples95.negative_is_validation(n)]
    nonface_table(args, [g for _, g in held], [os.path.join(root, n) for n, _ in held])


if __name__ == "__main__":
    main()
