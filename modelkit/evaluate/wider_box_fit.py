"""Measures how the canonical face box sits on WIDER boxes, for
wider.canonical_from_wider.

  /usr/bin/python3 -m modelkit evaluate wider-box-fit [--min-height 40] [--dlib]

For every WIDER face of the training photos at least --min-height px high,
two teachers place landmarks, and the canonical face box of those landmarks
is compared with the WIDER box (offsets and side in units of the WIDER
box's height):

- the shipped five-point network in torch, as the library runs it: the
  crop of enlargeToSquare(box), starting from the WIDER box's square and
  iterated three times on its own canonical box; a face counts when the
  last iteration moved the box by less than 5 % of its side (profiles,
  backs of heads and occluded faces do not settle);
- with --dlib, dlib's HOG detector and 68-point predictor (cpp/dlib_label)
  on a cut of each face enlarged to 300 px (the one face near the cut's
  centre), an independent teacher (its model is for non-commercial use).

Prints median, quartiles and the share within +-10 %, per teacher, and what
data/wider.py uses. With --dlib --save FILE it also writes the teacher's
canonical boxes of the faces it places (x1, y1, x2, y2 in stored-photo
pixels, unrounded; NaN for the others) per training photo, for
train second-stage --teacher-boxes.
"""
import argparse
import csv
import os
import subprocess
import tempfile

import cv2
import numpy as np

from modelkit.data import crops, datasets, wider
from modelkit.data.face_box import canonical_face_box, canonical_face_square, enlarge_to_square, five_from_68
from modelkit.data.samples95 import FivePointRunner


def relative(canon, wbox):
    """(dx, dy, side) of a canonical box (x, y, s, s) against a WIDER box,
    in WIDER heights."""
    x, y, w, h = wbox
    cx, cy, s = canon[0] + canon[2] / 2.0, canon[1] + canon[3] / 2.0, canon[2]
    return (cx - (x + w / 2.0)) / h, (cy - (y + h / 2.0)) / h, s / h


def five_point_fit(faces, runner, rounds=3):
    boxes = []
    for grey, wb in faces:
        x, y, w, h = wb
        s = h
        boxes.append((int(round(x + w / 2 - s / 2)), int(round(y + h / 2 - s / 2)), int(round(s)), int(round(s))))
    moved = [None] * len(faces)
    for _ in range(rounds):
        enl = [enlarge_to_square(b) for b in boxes]
        pts = runner([crops.library_crop(g, e) for (g, _), e in zip(faces, enl)], enl)
        new = [canonical_face_box(p) for p in pts]
        moved = [max(abs(n[0] - b[0]), abs(n[1] - b[1]), abs(n[2] - b[2])) / float(max(b[2], 1))
                 for n, b in zip(new, boxes)]
        boxes = new
    return {i: relative(b, wb) for i, (b, (_, wb), m) in enumerate(zip(boxes, faces, moved)) if m < 0.05}


def dlib_fit(faces, side=300):
    """{face index: (centre, side) of the canonical box of dlib's 68 points}
    for the faces the teacher places on the face it was given."""
    helper = os.path.join(datasets.HELPERS, "dlib_label")
    if not os.path.exists(helper):
        raise SystemExit("wider_box_fit: %s is missing (build modelkit/cpp)" % helper)
    out = {}
    with tempfile.TemporaryDirectory() as tmp:
        cuts = []
        for i, (grey, wb) in enumerate(faces):
            x, y, w, h = wb
            cx, cy, half = x + w / 2.0, y + h / 2.0, h
            k = side / (2.0 * half)
            m = np.array([[k, 0, side / 2.0 - k * cx], [0, k, side / 2.0 - k * cy]])
            cut = cv2.warpAffine(grey, m, (side, side), flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_REPLICATE)
            name = "%05d.png" % i
            cv2.imwrite(os.path.join(tmp, name), cut)
            cuts.append((name, m))
        with open(os.path.join(tmp, "list.txt"), "w") as f:
            f.write("".join(n + "\n" for n, _ in cuts))
        csv_path = os.path.join(tmp, "out.csv")
        subprocess.run([helper, datasets.DLIB_PREDICTOR, tmp, os.path.join(tmp, "list.txt"), csv_path],
                       check=True, stdout=subprocess.DEVNULL)
        with open(csv_path) as f:
            rows = {r[0]: r for r in csv.reader(f)}
        for i, ((name, m), (_, wb)) in enumerate(zip(cuts, faces)):
            r = rows.get(name)
            if r is None or r[1] != "1":
                continue
            p = np.array([float(v) for v in r[6:6 + 136]]).reshape(68, 2)
            p = (p - m[:, 2]) / m[0, 0]   # back to photo pixels
            five = five_from_68(p)
            # The detector's face must be the cut's face.
            cx, cy = wb[0] + wb[2] / 2.0, wb[1] + wb[3] / 2.0
            if np.hypot(*(five.mean(0) - (cx, cy))) > 0.3 * wb[3]:
                continue
            out[i] = canonical_face_square(p)
    return out


def square_box(square):
    """(centre, side) -> (x, y, side, side), unrounded."""
    (cx, cy), s = square
    return cx - s / 2.0, cy - s / 2.0, s, s


def save_teacher_boxes(path, photo_faces, teacher):
    """photo_faces: [(photo name, number of boxes, {box index: face index})]."""
    out = {}
    for name, count, faces in photo_faces:
        boxes = np.full((count, 4), np.nan)
        for b, i in faces.items():
            if i in teacher:
                x, y, s, _ = square_box(teacher[i])
                boxes[b] = (x, y, x + s, y + s)
        out[name] = boxes
    np.savez(path, **out)
    print("%s: canonical boxes of %d faces on %d photos" % (path, len(teacher), len(out)))


def report(name, rel):
    a = np.asarray(list(rel.values()))
    print("%s: %d faces" % (name, len(a)))
    for i, what in enumerate(("centre dx / height", "centre dy / height", "side / height")):
        q = np.percentile(a[:, i], [25, 50, 75])
        print("  %-20s median %+.3f  quartiles %+.3f .. %+.3f" % (what, q[1], q[0], q[2]))
    med = np.median(a, 0)
    within = np.mean(np.abs(a[:, 2] / med[2] - 1) <= 0.1)
    print("  side within +-10 %% of the median: %.0f %%" % (100 * within))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--min-height", type=float, default=40.0)
    ap.add_argument("--dlib", action="store_true", help="also fit with dlib's 68-point teacher")
    ap.add_argument("--save", metavar="FILE", help="with --dlib: write the teacher's canonical boxes (.npz)")
    args = ap.parse_args()
    if args.save and not args.dlib:
        raise SystemExit("wider_box_fit: --save needs --dlib")
    faces, photo_faces = [], []
    for p in wider.load("train"):
        big = np.flatnonzero(p.boxes[:, 3] >= args.min_height)
        photo_faces.append((p.name, len(p.boxes), {int(b): len(faces) + k for k, b in enumerate(big)}))
        if not len(big):
            continue
        grey = cv2.imread(p.path, cv2.IMREAD_GRAYSCALE)
        faces += [(grey, tuple(p.boxes[b])) for b in big]
    print("%d WIDER faces at least %g px high on the training photos" % (len(faces), args.min_height))
    net = five_point_fit(faces, FivePointRunner())
    report("five-point network", net)
    if args.dlib:
        squares = dlib_fit(faces)
        teacher = {i: relative(square_box(sq), faces[i][1]) for i, sq in squares.items()}
        report("dlib 68-point teacher", teacher)
        if args.save:
            save_teacher_boxes(args.save, photo_faces, squares)
        both = sorted(set(net) & set(teacher))
        report("five-point network, faces both place", {i: net[i] for i in both})
        report("dlib 68-point teacher, faces both place", {i: teacher[i] for i in both})
    print("data/wider.py uses: dx %+.3f, dy %+.3f, side %.3f" % (wider.CENTRE_DX, wider.CENTRE_DY, wider.SIDE_PER_HEIGHT))


if __name__ == "__main__":
    main()
