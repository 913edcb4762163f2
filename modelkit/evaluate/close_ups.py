"""Faces that fill the frame: the two public-domain portraits cut so that
the face's canonical box is a given share of the cut's height (a webcam or
phone held close), fitted to 640 x 480, and run through KXTracker_detect
(modelkit/cpp/eval_detector, as evaluate/detector.py runs it).

  /usr/bin/python3 -m modelkit evaluate close-ups [--models DIR] [--methods kx,haar,dlib]

The held-out photos have two faces of this kind; this check has sixteen.
Each cut is 4:3 and stays inside the photo, centred on the face where the
photo allows. The face (eyes and mouth from the dlib teacher's 68 points)
counts as found under evaluate/detector.py's rule: a box holding both eyes and
the mouth centre, with a side of 1.5 to 6 eye-to-mouth distances. Any other
box is a false detection. --methods also runs the peers of
evaluate/detector.py on the same cuts.
"""
import argparse
import os
import tempfile

import cv2

from modelkit.data import datasets
from modelkit.data.face_box import canonical_face_box, five_from_68
from modelkit.evaluate import detector as ev

SHARES = (0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1.0, 1.1)
OUT_W, OUT_H = 640, 480


def cut_window(photo_hw, centre, height):
    """(x, y, w, h) of the 4:3 window of the given height, centred on
    centre and shifted to lie inside the photo; None when it cannot fit."""
    ph, pw = photo_hw
    h = int(round(height))
    w = int(round(height * OUT_W / OUT_H))
    if w > pw or h > ph:
        return None
    x = int(round(min(max(centre[0] - w / 2.0, 0), pw - w)))
    y = int(round(min(max(centre[1] - h / 2.0, 0), ph - h)))
    return x, y, w, h


def close_ups(shares=SHARES):
    """[(name, share, 640 x 480 BGR cut, Face in the cut's pixels)] of both
    portraits at every share that fits inside the photo."""
    out = []
    for name, photo, pts68 in datasets.teacher_labelled_portraits(cv2.IMREAD_COLOR):
        x, y, side, _ = canonical_face_box(pts68)
        five = five_from_68(pts68)
        for share in shares:
            win = cut_window(photo.shape[:2], (x + side / 2.0, y + side / 2.0), side / share)
            if win is None:
                continue
            wx, wy, ww, wh = win
            k = OUT_W / float(ww)
            cut = cv2.resize(photo[wy:wy + wh, wx:wx + ww], (OUT_W, OUT_H), interpolation=cv2.INTER_AREA)
            p = (five - [wx, wy]) * k
            out.append((name, share, cut, ev.Face(p[0], p[1], (p[3] + p[4]) / 2.0)))
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--models", default=os.path.join(datasets.REPO, "models"))
    ap.add_argument("--methods", default="kx", help="comma-separated subset of %s" % ", ".join(ev.METHODS))
    args = ap.parse_args()
    methods = ev.parse_methods(ap, args.methods, ev.METHODS)
    cases = close_ups()
    with tempfile.TemporaryDirectory() as tmp:
        paths = []
        for name, share, cut, _ in cases:
            paths.append(os.path.join(tmp, "%s_%03d.png" % (os.path.splitext(name)[0], round(100 * share))))
            cv2.imwrite(paths[-1], cut)
        found = ev.run_detectors(args.models, paths, methods)
    for m in methods:
        print("%s:" % m)
        print("%-10s %6s %8s %6s  %s" % ("portrait", "share", "found", "false", "boxes (x, y, w, h)"))
        hits = false = 0
        for path, (name, share, _, face) in zip(paths, cases):
            boxes = found[m].get(path, [])
            got = [b for b in boxes if face.hit_by(b)][:1]
            wrong = len(boxes) - len(got)
            hits, false = hits + len(got), false + wrong
            print("%-10s %5.0f%% %8s %6d  %s" % (os.path.splitext(name)[0], 100 * share, "yes" if got else "no",
                                                 wrong, " ".join("(%d, %d, %d, %d)" % tuple(b) for b in boxes)))
        print("%s found %d of %d faces, %d false detections" % (m, hits, len(cases), false))


if __name__ == "__main__":
    main()
