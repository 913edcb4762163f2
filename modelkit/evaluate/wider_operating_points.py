"""Operating points of a detector checkpoint (or exported file) on the WIDER
validation photos and cmu_mit/newtest, counted by evaluate/wider.py's rule, and
where the missed faces are lost.

  /usr/bin/python3 -m modelkit evaluate wider-operating-points --checkpoint modelkit/runs/detector_wider_last.pt

One PyTorch detection run per photo (the run export/detector.py checks
against the runtime) at probability 0.05, boxes squared as KXTracker_detect
returns them; every --background-bias is then a probability threshold
(evaluate/operating_points.py explains why), so one run gives the whole
curve: faces found, the 24+ px recall and false detections per photo at each
bias. Then, for the faces at least 24 px high: how many get a proposal that
would be a hit (the proposal layer's boxes, squared), and how many a
detection at 0.05: what the proposals miss, and what the second stage turns
down.
"""
import argparse

import cv2
import numpy as np
import torch

from modelkit.data.detector_scenes import network_input
from modelkit.data.face_box import enlarge_to_square
from modelkit.evaluate import wider as ew
from modelkit.evaluate.operating_points import bias_for
from modelkit.export.detector import reference_run
from modelkit.nets import detector_net as dn

LOWEST = 0.05
BIASES = (-2.0, -1.5, -1.0, -0.5, 0.0, 0.5, 1.0, 1.5, 2.0, 3.0)


def runs(det, truth):
    """{photo: (proposal boxes, [(x, y, w, h, probability)] best first)} in
    photo pixels, squared as the library squares its detections."""
    out = {}
    for photo in truth:
        img = cv2.imread(photo, cv2.IMREAD_COLOR)
        k = ew.working_scale(photo)
        if k > 1.0:
            img = cv2.resize(img, None, fx=1.0 / k, fy=1.0 / k, interpolation=cv2.INTER_LINEAR)
        rois, _, _, rows = reference_run(det, network_input(img), LOWEST)
        props = [tuple(v * k for v in enlarge_to_square((r[0], r[1], r[2] - r[0], r[3] - r[1]))) for r in rois]
        dets = [tuple(v * k for v in enlarge_to_square(r[:4])) + (float(r[4]),) for r in rows]
        out[photo] = (props, dets)
    return out


def threshold_of(bias):
    """The probability (without bias) that the library's 0.8 keeps at this bias."""
    return 1.0 / (1.0 + np.exp(-(np.log(4.0) + bias)))


def reach(truth, boxes_of):
    """(faces at least 24 px high in the working image, of them hit by some box)."""
    total = hit = 0
    for photo, faces in truth.items():
        k = ew.working_scale(photo)
        for f in faces:
            if f[3] < ew.MIN_COUNTED or f[3] / k < ew.BANDS[0]:
                continue
            total += 1
            hit += any(ew.hits(b, f) for b in boxes_of(photo))
    return total, hit


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--checkpoint", required=True, help="a training checkpoint (.pt) or an exported file (.dat)")
    ap.add_argument("--threads", type=int, default=1)
    args = ap.parse_args()
    torch.set_num_threads(args.threads)
    det = dn.load_weights(args.checkpoint)
    sets = {"WIDER validation": ew.load_wider_validation(), "cmu_mit/newtest": ew.load_newtest()}
    for name, truth in sets.items():
        got = runs(det, truth)
        print("\n%s, %s: %d photos" % (name, args.checkpoint, len(truth)))
        print("| bias | probability | faces found | 24+ px | false per photo |")
        print("|---|---|---|---|---|")
        for b in BIASES:
            t = threshold_of(b)
            kept = {p: [d for d in dets if d[4] >= t] for p, (_, dets) in got.items()}
            r = ew.score_method(truth, kept)
            a, n = r["bands"][-1]
            print("| %+.1f | %.3f | %.1f %% | %.1f %% | %.2f |" % (b, t, 100.0 * r["found"] / max(1, r["faces"]),
                                                              100.0 * a / max(1, n), r["false"] / len(truth)))
        total, by_props = reach(truth, lambda p: got[p][0])
        _, by_dets = reach(truth, lambda p: got[p][1])
        print("faces of 24 px and more: %d; a proposal would hit %d (%.1f %%), a detection at %.2f %d (%.1f %%)"
              % (total, by_props, 100.0 * by_props / max(1, total), LOWEST, by_dets, 100.0 * by_dets / max(1, total)))
    print("\n(bias for a probability p: %s)" % ", ".join("%.2f -> %+.2f" % (p, bias_for(p)) for p in (0.5, 0.9, 0.97)))


if __name__ == "__main__":
    main()
