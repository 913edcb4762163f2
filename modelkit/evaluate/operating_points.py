"""Operating points of a detector checkpoint (or exported file) on the
held-out sets: the most faces found at no more than K false detections, and
the --background-bias of export/detector.py that gives each, counted as
evaluate/detector.py counts.

  /usr/bin/python3 -m modelkit evaluate operating-points --checkpoint modelkit/runs/detector_last.pt

The library keeps detections of probability 0.8 and more. Adding B to the
background logit keeps exactly the detections whose probability without B
is at least sigmoid(ln 4 + B), and the suppression between them, taken best
first, stays the same; so one detection run per photo at a low threshold
gives every bias at once. The run is the PyTorch re-run of the detection
that export/detector.py checks against the runtime. Choose with
evaluate/detector.py on the exported file: this script is for the sweep.
"""
import argparse
import math

import cv2
import torch

from modelkit.data.detector_scenes import network_input
from modelkit.data.face_box import enlarge_to_square
from modelkit.evaluate import detector as ev
from modelkit.export.detector import reference_run
from modelkit.nets import detector_net as dn

LOWEST = 0.05
FALSE_LIMITS = (3, 5, 7, 10, 14, 20, 28, 40)   # 3: dlib's count on the photos enlarged 2x


def detections(det, truth):
    """Per photo, (probability, (x, y, width, height) in photo pixels) of
    every detection at LOWEST, best first, on the working image. The boxes
    are those KXTracker_detect returns: whole pixels, squared and enlarged
    by enlarge_to_square, which the counting rule sees as larger faces."""
    out = {}
    for photo in truth:
        img = cv2.imread(photo, cv2.IMREAD_COLOR)
        s = ev.scale_for_size(*img.shape[:2])
        if s < 1.0:
            img = cv2.resize(img, None, fx=s, fy=s, interpolation=cv2.INTER_LINEAR)
        rows = reference_run(det, network_input(img), LOWEST)[3]
        out[photo] = [(float(r[4]), tuple(v / s for v in enlarge_to_square(r[:4]))) for r in rows]
    return out


def operating_points(truth, found):
    """{K: (faces, false, threshold)}: the most faces at no more than K false
    detections over every threshold, with the fewest false detections
    among equals."""
    best = {}
    for t in sorted({p for rows in found.values() for p, _ in rows}):
        kept = {photo: [box for p, box in rows if p >= t] for photo, rows in found.items()}
        _, hits, false, _ = ev.score_set(truth, kept)
        for k in FALSE_LIMITS:
            old = best.get(k)
            if false <= k and (old is None or (hits, -false) > (old[0], -old[1])):
                best[k] = (hits, false, t)
    return best


def bias_for(threshold):
    """The background bias that makes the library's 0.8 keep probabilities
    of at least `threshold` (rounded down to 1e-3, so that the detection at
    the threshold itself stays)."""
    return math.floor(1000.0 * (math.log(threshold / (1.0 - threshold)) - math.log(4.0))) / 1000.0


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--checkpoint", required=True, help="a training checkpoint (.pt) or an exported file (.dat)")
    args = ap.parse_args()
    torch.set_num_threads(1)
    det = dn.load_weights(args.checkpoint)
    truth = {}
    truth.update(ev.load_cmu_mit())
    truth.update(ev.load_voc_testing())
    total = sum(f.counted for faces in truth.values() for f in faces)
    found = detections(det, truth)
    print("%d photos, %d faces counted; most faces at no more than K false detections:" % (len(truth), total))
    print("%4s %6s %7s %6s %12s %8s" % ("K", "found", "recall", "false", "probability", "bias"))
    for k, (hits, false, t) in sorted(operating_points(truth, found).items()):
        print("%4d %6d %6.1f%% %6d %12.4f %+8.3f" % (k, hits, 100.0 * hits / total, false, t, bias_for(t)))


if __name__ == "__main__":
    main()
