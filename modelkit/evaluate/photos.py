"""Landmarks on whole photos as a user gets them, beside dlib, on the same
faces: modelkit/cpp/eval_align_photos runs KXTracker_detect_align5 and
KXTracker_detect_align95 (the models of --models) and dlib's HOG face
detector + 68-point predictor over every photo.

  /usr/bin/python3 -m modelkit evaluate photos [--models models] [--split val|train|all]
        [--side 320] [--diagnose]

Photos: faces300w (data/faces300w.py), its validation photos by default. A
method has found the labelled face when one of its boxes holds both labelled
eye centres and the mouth centre (the nearest box centre to the face's wins).
Every figure is over the faces all three found ("faces both find").

Errors, per face divided by the distance between the labelled eye centres
(mean of the six eye points), then averaged:
  5 points   eye centres, nose tip [30], mouth corners [48], [54]. dlib's
             five from its 68 points the same way; align5 the points
             KXTracker_detect_align5 returns; align95 the five the library
             derives from its 95-point shape (fivePointsFromShape: eye
             centre = mean of rows 39 and 45, in data/layout95.py the mean
             of four eye points). "5p lay": the same, with every eye centre
             (labels and dlib too) taken through the layout, its own
             definition.
  68 points  dlib's 68 against the labels; the 95-point shape's 68
             (layout95.to68) against the labels' 68 put through the layout
             and back (the inner jaw and brow points are resampled along
             their line, so a label's own round trip is its target); "47
             held": only the 68 points the layout holds as they are, against
             the labels themselves.
  > 8 %      share of faces whose 5-point error is above 8 %.

--side S resizes every photo so its longer side is S px before the methods
see it (points are mapped back). --diagnose also runs, on the same faces,
the library's pieces one at a time (modelkit/cpp/eval_five_points and
eval_ninety_five): the five-point network on the labels' canonical box and
on the detector's box; the 95-point network without the cascade (a
zero-stage cascade file) and with it, warped from align5's points and from
the labelled five points; the gap between the eye-centre definitions on
the labels themselves, and align95's five with each eye centre at the
midpoint of the eye's corners (the layout's definition before its eye rings
moved one step on). --offsets prints the median offset of the labels
from dlib's points (the pixel-origin check of data/faces300w.py).
"""
import argparse
import os
import subprocess
import sys
import tempfile

import numpy as np

from modelkit.data import datasets, faces300w, layout95
from modelkit.data.face_box import canonical_face_box, enlarge_to_square, five_from_68, five_point_centres
from modelkit.formats import cascade95

EVALUATOR = os.path.join(datasets.HELPERS, "eval_align_photos")
FIVE_EVALUATOR = os.path.join(datasets.HELPERS, "eval_five_points")
NINETY_FIVE_EVALUATOR = os.path.join(datasets.HELPERS, "eval_ninety_five")
MODELS = os.path.join(datasets.REPO, "models")
VALUES = {"kx5": 10, "kx95": 200, "dlib": 136}


def run_photos(models, paths, side):
    """{method: {photo index: [(box (x, y, w, h), values)]}}, timing line."""
    found = {m: {} for m in VALUES}
    with tempfile.TemporaryDirectory() as tmp:
        listing, out = os.path.join(tmp, "list.txt"), os.path.join(tmp, "out.txt")
        with open(listing, "w") as f:
            f.writelines(p + "\n" for p in paths)
        cmd = [EVALUATOR, models, datasets.DLIB_PREDICTOR, listing, out] + ([str(side)] if side else [])
        res = subprocess.run(cmd, check=True, capture_output=True, text=True)
        with open(out) as f:
            for line in f:
                t = line.split()
                values = np.array([float(v) for v in t[7:]])
                if len(values) != VALUES[t[0]]:
                    raise ValueError("eval_align_photos: %d values on a %s line" % (len(values), t[0]))
                box = tuple(float(v) for v in t[2:6])
                found[t[0]].setdefault(int(t[1]), []).append((box, values))
    return found, res.stdout.strip().splitlines()[-1]


def match(candidates, truth68):
    """The candidate (box, values) whose box holds both labelled eye centres
    and the mouth centre and whose centre is nearest the face's, or None."""
    five = five_from_68(truth68)
    eyes, mouth, _, _ = five_point_centres(five)
    centre = eyes + 0.6 * (mouth - eyes)
    best, best_d = None, np.inf
    for box, values in candidates:
        x, y, w, h = box
        inside = all(x <= p[0] <= x + w and y <= p[1] <= y + h for p in (five[0], five[1], mouth))
        d = np.hypot(x + w / 2 - centre[0], y + h / 2 - centre[1])
        if inside and d < best_d:
            best, best_d = (box, values), d
    return best


def layout_five(p68):
    """Five points of a 68-point set as the library derives them from the
    95-point layout (eye centre: mean of four eye-ring points)."""
    return layout95.five_points(layout95.from68(p68))


def point_error(pred, truth, iod):
    return np.linalg.norm(pred - truth, axis=-1).mean(-1) / iod


def summary(e):
    return "%6.2f%% %6.2f%% %6.1f%%" % (100 * e.mean(), 100 * np.median(e), 100 * (e > 0.08).mean())


def write_zero_cascade(path, shipped):
    cascade95.write(cascade95.Cascade(cascade95.read(shipped).mean), path)


def run_ninety_five(net95, net5, cascade, paths, fives):
    with tempfile.TemporaryDirectory() as tmp:
        listing, out = os.path.join(tmp, "list.txt"), os.path.join(tmp, "out.txt")
        with open(listing, "w") as f:
            for p, five in zip(paths, fives):
                f.write(p + "".join(" %.9g" % v for v in np.asarray(five, np.float32).reshape(-1)) + "\n")
        subprocess.run([NINETY_FIVE_EVALUATOR, net95, net5, cascade, listing, out], check=True,
                       capture_output=True, text=True)
        rows = np.loadtxt(out, ndmin=2)
    return rows[:, 0] == 0, rows[:, 8:].reshape(-1, 95, 2)


def run_five(net5, paths, boxes):
    with tempfile.TemporaryDirectory() as tmp:
        listing, out = os.path.join(tmp, "list.txt"), os.path.join(tmp, "out.txt")
        with open(listing, "w") as f:
            for p, b in zip(paths, boxes):
                f.write("%s %d %d %d %d\n" % (p, *b))
        subprocess.run([FIVE_EVALUATOR, net5, listing, out], check=True, capture_output=True, text=True)
        rows = np.loadtxt(out, ndmin=2)
    return rows[:, 0] == 0, rows[:, 1:].reshape(-1, 5, 2)


def kx_box_before_enlarging(box):
    """A box whose enlargeToSquare is about `box` (the detector's returned,
    already enlarged box), so the helpers' own enlargement gives it back."""
    x, y, w, h = box
    side = w / 1.2
    return (int(round(x + w / 2 - side / 2)), int(round(y + h / 2 - side / 2)), int(round(side)),
            int(round(side)))


def box_offsets(found, truth68):
    """The detector's boxes against the enlarged canonical boxes of the
    labels: centre shift (x, y) per side and side ratio, per face."""
    want = np.array([enlarge_to_square(canonical_face_box(t)) for t in truth68], np.float64)
    shift = (found[:, :2] + found[:, 2:] / 2 - want[:, :2] - want[:, 2:] / 2) / want[:, 2:3]
    return shift, found[:, 2] / want[:, 2]


def corner_midpoint_five(shape95):
    """The five points of a shape with each eye centre at the midpoint of the
    eye's corners (rows 50/44 and 62/56), the definition of the layout before
    its eye rings moved one step on."""
    s = np.asarray(shape95, np.float64)
    five = layout95.five_points(s)
    for eye, first in enumerate(layout95.EYE_RING_ROWS):
        corners = first + layout95.EYE_POINT_SLOTS[[0, 3]]   # eye points 0 and 3 are the corners
        five[eye] = s[corners].mean(0)
    return five


def diagnose(args, paths, truth68, iod, align5, kx_boxes, shapes):
    net5 = os.path.join(args.models, "cdcn_iter_500000.dat")
    net95 = os.path.join(args.models, "cdcn95_verify_iter_50000.dat")
    shipped = os.path.join(args.models, "model95_tern.bin")
    truth5 = np.stack([five_from_68(t) for t in truth68])
    truth5c = np.stack([layout_five(t) for t in truth68])
    print("\nthe pieces one at a time, same faces (5-point error vs labels: eye centres as mean of six / "
          "through the layout; 68 held points)")
    print("%-66s %8s %8s %8s" % ("", "5p", "5p lay", "47 held"))

    def line(label, five, shape=None, ok=None):
        ok = np.ones(len(five), bool) if ok is None else ok
        e5 = point_error(five, truth5, iod)[ok]
        e5c = point_error(five, truth5c, iod)[ok]
        held = ""
        if shape is not None:
            p68 = np.stack([layout95.to68(s) for s in shape])
            held = "%7.2f%%" % (100 * point_error(p68[:, layout95.HELD68], truth68[:, layout95.HELD68],
                                                      iod)[ok].mean())
        print("%-66s %7.2f%% %7.2f%% %8s%s" % (label, 100 * e5.mean(), 100 * e5c.mean(), held,
                                               "" if ok.all() else "  (%d failed)" % (~ok).sum()))

    shift, ratio = box_offsets(kx_boxes, truth68)
    print("detector's boxes vs the labels' enlarged canonical boxes: centre shift x %+.3f, y %+.3f "
          "(median, of the side; mean |shift| %.3f), side ratio median %.3f (5-95 %%: %.2f-%.2f)"
          % (np.median(shift[:, 0]), np.median(shift[:, 1]), np.abs(shift).mean(), np.median(ratio),
             *np.percentile(ratio, [5, 95])))
    ok, five = run_five(net5, paths, [canonical_face_box(t) for t in truth68])
    line("(a) five-point net, labels' canonical box", five, ok=ok)
    line("(a) five-point net, detector's box (= align5)", align5)
    line("    labels' five through the layout (definition gap)", truth5c)
    line("    labels' five, eye centres at the corner midpoints", np.stack([corner_midpoint_five(
        layout95.from68(t)) for t in truth68]))
    line("(e) align95's shape, eye centres at the corner midpoints", np.stack([corner_midpoint_five(s)
                                                                             for s in shapes]))
    with tempfile.TemporaryDirectory() as tmp:
        zero = os.path.join(tmp, "zero.bin")
        write_zero_cascade(zero, shipped)
        for warp_label, fives in (("align5's points", align5), ("the labels' five", truth5)):
            for cas_label, cas in (("no cascade", zero), ("the cascade of --models", shipped)):
                ok, shapes = run_ninety_five(net95, net5, cas, paths, fives)
                derived = np.stack([layout95.five_points(s) for s in shapes])
                line("(%s) 95-point net, %s, warped from %s" % ("b" if cas is zero else "c", cas_label, warp_label),
                     derived, shapes, ok)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--models", default=MODELS, help="folder with the library's four model files")
    ap.add_argument("--split", choices=["val", "train", "all"], default="val")
    ap.add_argument("--side", type=int, default=0, help="resize photos to this longer side first (0: as stored)")
    ap.add_argument("--diagnose", action="store_true")
    ap.add_argument("--offsets", action="store_true")
    args = ap.parse_args()
    for tool in (EVALUATOR, FIVE_EVALUATOR, NINETY_FIVE_EVALUATOR):
        if not os.path.exists(tool):
            sys.exit("modelkit: build the helpers first (see modelkit/README.md; eval_align_photos needs "
                     "dlib): %s is missing" % tool)
    if not os.path.exists(datasets.DLIB_PREDICTOR):
        sys.exit("modelkit: %s is missing (apt-get install libdlib-data)" % datasets.DLIB_PREDICTOR)

    labelled = [(n, p) for n, p in faces300w.read_points()
                if args.split == "all"
                or (args.split == "val") == faces300w.group_is_validation(faces300w.photo_group(n))]
    paths = [faces300w.image_path(n) for n, _ in labelled]
    found, timing = run_photos(args.models, paths, args.side)
    print("models %s; faces300w %s: %d faces%s" % (args.models, args.split, len(labelled),
                                                   ", photos resized to %d px" % args.side if args.side else ""))
    print(timing)

    keep, truth68, kx5, kx95, dl, kx_boxes = [], [], [], [], [], []
    counts = {m: 0 for m in VALUES}
    for i, (_, t68) in enumerate(labelled):
        got = {m: match(found[m].get(i, []), t68) for m in VALUES}
        for m in VALUES:
            counts[m] += got[m] is not None
        if all(v is not None for v in got.values()):
            keep.append(i)
            truth68.append(t68)
            kx_boxes.append(got["kx5"][0])
            kx5.append(got["kx5"][1].reshape(5, 2))
            kx95.append(got["kx95"][1])
            dl.append(got["dlib"][1].reshape(68, 2))
    print("found: align5 %d, align95 %d, dlib %d of %d; all three: %d"
          % (counts["kx5"], counts["kx95"], counts["dlib"], len(labelled), len(keep)))
    if not keep:
        sys.exit("modelkit: no face found by all three methods")
    truth68, kx5, dl = np.stack(truth68), np.stack(kx5), np.stack(dl)
    kx95_five = np.stack([v[:10].reshape(5, 2) for v in kx95])
    shapes = np.stack([v[10:].reshape(95, 2) for v in kx95])
    print("align95's returned five points vs align5's: max difference %.3g px"
          % np.abs(kx95_five - kx5).max())

    truth5 = np.stack([five_from_68(t) for t in truth68])
    truth5c = np.stack([layout_five(t) for t in truth68])
    iod = np.linalg.norm(truth5[:, 1] - truth5[:, 0], axis=1)
    truth68_layout = np.stack([layout95.to68(layout95.from68(t)) for t in truth68])
    held = layout95.HELD68
    rows = [
        ("dlib HOG + 68-point predictor", np.stack([five_from_68(d) for d in dl]),
         np.stack([layout_five(d) for d in dl]), point_error(dl, truth68, iod),
         point_error(dl[:, held], truth68[:, held], iod)),
        ("KXTracker_detect_align5", kx5, kx5, None, None),
        ("KXTracker_detect_align95 (five from its shape)", *(2 * [np.stack([layout95.five_points(s)
                                                                             for s in shapes])]),
         point_error(np.stack([layout95.to68(s) for s in shapes]), truth68_layout, iod),
         point_error(np.stack([layout95.to68(s) for s in shapes])[:, held], truth68[:, held], iod)),
    ]
    print("\n%-48s %22s %8s %22s %8s" % ("method", "5p mean, median, >8%", "5p lay", "68p mean, median, >8%",
                                          "47 held"))
    for label, five, five_c, e68, e47 in rows:
        e5 = point_error(five, truth5, iod)
        e5c = point_error(five_c, truth5c, iod)
        print("%-48s %22s %7.2f%% %22s %8s" % (label, summary(e5), 100 * e5c.mean(),
                                                "" if e68 is None else summary(e68),
                                                "" if e47 is None else "%7.2f%%" % (100 * e47.mean())))
    if args.offsets:
        off = truth68 - dl
        print("\nlabels minus dlib's points, median over faces and points: x %+.2f, y %+.2f px"
              % tuple(np.median(off.reshape(-1, 2), axis=0)))
    if args.diagnose:
        if args.side:
            print("\n--diagnose runs on the photos as stored: leave --side out")
        else:
            diagnose(args, [paths[i] for i in keep], truth68, iod, kx5, np.array(kx_boxes), shapes)


if __name__ == "__main__":
    main()
