"""Where the library's detector puts its box on each landmark training face,
relative to the face's canonical box.

The five-point network is trained on canonical boxes jittered at random, but
at run time it is handed the detector's box, which sits where the detector
learnt to put it: on WIDER's hand-drawn boxes it learnt the head, not the
eyes-and-mouth square, so on a turned face its box is off to one side by
more than the training jitter ever moved one. Training on the detector's own
boxes teaches the network the boxes it will get.

A face's relation is (dx, dy, ratio) between the two enlarged squares (the
library's enlargeToSquare of each box): the detector square's centre minus
the canonical square's, in canonical sides, and the side ratio. Being
relative, it holds in any cut of the photo and turns with the face under a
rotation or mirror image (Augmenter.geometry).

The detector runs through the library (modelkit/cpp/eval_detector, method
kx) on every photo once; the relations are cached in runs/ per source and
detector file, so a new detector file makes new ones.
"""
import hashlib
import os
import subprocess
import sys
import tempfile

import numpy as np

from modelkit.data import crops, datasets
from modelkit.data.face_box import canonical_face_box, enlarge_to_square, five_from_68

EVALUATOR = os.path.join(datasets.HELPERS, "eval_detector")
DETECTOR = os.path.join(datasets.REPO, "models", "frcnn_full_cross_500000.dat")
# A detection farther than this (in canonical sides) from the face's centre,
# or with a side ratio beyond these bounds, belongs to another face or is no
# box of this one.
MAX_CENTRE_OFFSET = 0.35
RATIO_BOUNDS = (0.6, 1.6)
# The library's enlargeToSquare: the longer side times this.
ENLARGEMENT = 1.2


def frame_points(face):
    """The five points of a face in its photo's pixels: a datasets.Face, or
    a samples95.Face68 (68 points)."""
    five = face.points if hasattr(face, "points") else five_from_68(face.p68)
    return np.asarray(five, np.float64) + np.asarray(face.offset, np.float64)


def square(box):
    """(centre x, centre y, side) of a box (x, y, w, h)."""
    x, y, w, h = box
    return x + w / 2.0, y + h / 2.0, float(w)


def relation(detected, canonical):
    """(dx, dy, ratio) of a detector square to a canonical square, both
    (x, y, w, h) after enlargeToSquare."""
    dcx, dcy, ds = square(detected)
    ccx, ccy, cs = square(canonical)
    return (dcx - ccx) / cs, (dcy - ccy) / cs, ds / cs


def best_relation(detections, canonical):
    """The relation of the detection nearest the face, or None when none
    plausibly belongs to it."""
    best = None
    for box in detections:
        r = relation(box, canonical)
        if np.hypot(r[0], r[1]) > MAX_CENTRE_OFFSET or not RATIO_BOUNDS[0] <= r[2] <= RATIO_BOUNDS[1]:
            continue
        if best is None or np.hypot(r[0], r[1]) < np.hypot(best[0], best[1]):
            best = r
    return best


def _detect(paths, detector):
    """{path: [(x, y, w, h), ...]} of KXTracker_detect (squares, as it
    returns them) on every path."""
    if not os.path.exists(EVALUATOR):
        sys.exit("modelkit: build the helpers first (see modelkit/README.md): %s is missing" % EVALUATOR)
    with tempfile.TemporaryDirectory() as tmp:
        models = os.path.join(tmp, "models")
        os.mkdir(models)
        # The library starts with all four files; only the detector matters here.
        shipped = os.path.dirname(DETECTOR)
        for name in os.listdir(shipped):
            if name.endswith((".dat", ".bin")) and name != os.path.basename(DETECTOR):
                os.symlink(os.path.join(shipped, name), os.path.join(models, name))
        os.symlink(os.path.abspath(detector), os.path.join(models, os.path.basename(DETECTOR)))
        listing, out = os.path.join(tmp, "list.txt"), os.path.join(tmp, "out.csv")
        with open(listing, "w") as f:
            f.write("".join(p + "\n" for p in paths))
        subprocess.run([EVALUATOR, "detect", models, listing, out, "kx"], check=True, capture_output=True)
        found = {}
        with open(out) as f:
            for line in f:
                method, rest = line.strip().split(",", 1)
                photo, x, y, w, h, _ = rest.rsplit(",", 5)
                if method == "kx":
                    found.setdefault(photo, []).append((float(x), float(y), float(w), float(h)))
    return found


def _cache_path(source, detector):
    with open(detector, "rb") as f:
        digest = hashlib.sha1(f.read()).hexdigest()[:12]
    return os.path.join(datasets.RUNS, "detected_boxes_%s_%s.npz" % (source, digest))


def relations(faces, detector=DETECTOR):
    """{(source, name): (dx, dy, ratio)} for the faces the detector finds
    (datasets.Face or samples95.Face68). The cache of a source remembers every
    face looked at, found or not (NaN), so that a later call with other faces
    of the source (the training faces after the validation ones) runs the
    detector on those alone."""
    out = {}
    for source in sorted({f.source for f in faces}):
        cache = _cache_path(source, detector)
        known = {}
        if os.path.exists(cache):
            with np.load(cache) as z:
                known = {str(n): tuple(r) for n, r in zip(z["names"], z["relations"])}
        new = [f for f in faces if f.source == source and f.name not in known]
        if new:
            found = _detect(sorted({datasets.photo_path(f) for f in new}), detector)
            for f in new:
                canonical = enlarge_to_square(canonical_face_box(frame_points(f)))
                r = best_relation(found.get(datasets.photo_path(f), []), canonical)
                known[f.name] = (np.nan, np.nan, np.nan) if r is None else r
            np.savez(cache, names=np.array(list(known)),
                     relations=np.array(list(known.values()), np.float64).reshape(-1, 3))
            print("detector boxes: %s %d of %d faces looked at (%s)"
                  % (source, sum(np.isfinite(known[f.name][0]) for f in new), len(new), cache), flush=True)
        out.update({(source, f.name): known[f.name] for f in faces
                    if f.source == source and np.isfinite(known[f.name][0])})
    return out


def box_before_enlargement(points, relation):
    """A box (x, y, w, h) that enlargeToSquare turns into the detector's
    square of a face (to within a pixel of rounding): for the tools that take
    boxes the way the detector hands them over, before the enlargement."""
    x, y, side, _ = crops.detector_square(points, relation)
    inner = max(1, int(round(side / ENLARGEMENT)))
    cx, cy = x + side / 2.0, y + side / 2.0
    return int(round(cx - inner / 2.0)), int(round(cy - inner / 2.0)), inner, inner
