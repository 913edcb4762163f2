"""Detector checkpoint -> models/frcnn_full_cross_500000.dat, with a parity
check of the whole detection run (PyTorch backbone and heads, the proposal
layer and the decoding re-done in numpy) against the library's runtime
(modelkit/cpp/run_detector_net), and the parity fixture for the C++ tests.

  /usr/bin/python3 -m modelkit export detector --checkpoint modelkit/runs/detector_last.pt

--checkpoint may also name an exported file (re-export, e.g. after a change
of the proposal parameters). --untrained LAYOUT exports a network of that
layout (wide second stage) with its initial weights instead, to time a layout
before training it; write it next to copies of the other models, not over
the shipped file.
"""
import argparse
import os
import subprocess
import sys
import tempfile

import cv2
import numpy as np
import torch

from modelkit.data import datasets
from modelkit.data.detector_scenes import network_input
from modelkit.formats import stdcnn
from modelkit.nets import detector_net as dn

sys.path.insert(0, os.path.join(datasets.REPO, "tests", "fixtures"))
from fixture_io import write_fixture  # noqa: E402

MODEL = os.path.join(datasets.REPO, "models", "frcnn_full_cross_500000.dat")
RUNNER = os.path.join(datasets.HELPERS, "run_detector_net")

# The proposal layer's anchor table (x1, y1, x2, y2).
ANCHORS = np.array([[-84, -40, 99, 55], [-176, -88, 191, 103], [-360, -184, 375, 199],
                    [-56, -56, 71, 71], [-120, -120, 135, 135], [-248, -248, 263, 263],
                    [-36, -80, 51, 95], [-80, -168, 95, 183], [-168, -344, 183, 359]], np.float32)


def _overlap(a, b):
    f = np.float32
    iw = f(min(a[2], b[2]) - max(a[0], b[0]) + f(1))
    ih = f(min(a[3], b[3]) - max(a[1], b[1]) + f(1))
    iw, ih = max(iw, f(0)), max(ih, f(0))
    inter = f(iw * ih)
    area = lambda r: f((r[2] - r[0] + f(1)) * (r[3] - r[1] + f(1)))  # noqa: E731
    return f(inter / f(area(a) + area(b) - inter))


def _apply(box, d):
    f = np.float32
    w = f(box[2] - box[0] + f(1))
    h = f(box[3] - box[1] + f(1))
    cx = f(0.5 * float(w) + float(box[0]))
    cy = f(0.5 * float(h) + float(box[1]))
    pcx, pcy = f(cx + f(d[0] * w)), f(cy + f(d[1] * h))
    pw, ph = f(f(np.exp(float(d[2]))) * w), f(f(np.exp(float(d[3]))) * h)
    return np.array([f(float(pcx) - 0.5 * float(pw)), f(float(pcy) - 0.5 * float(ph)),
                     f(float(pcx) + 0.5 * float(pw)), f(float(pcy) + 0.5 * float(ph))], np.float32)


def proposal_layer(prob18, delta36, height, width, stride):
    """The proposal layer on a one-image score map (18, H, W) and delta map
    (36, H, W): rows (x1, y1, x2, y2), as the runtime computes them."""
    p = dn.proposal_params(stride)
    _, h, w = delta36.shape
    x, y, a = np.meshgrid(np.arange(w), np.arange(h), np.arange(9), indexing="ij")
    score = prob18[9 + a, y, x].ravel()
    index = ((x * h + y) * 9 + a).ravel()
    order = np.lexsort((-index, -score))[:min(p["rpn_pre_nms_top_n"], h * w * 9)]
    boxes = []
    for k in order:
        i = index[k]
        cx, cy, ca = i // (9 * h), (i % (9 * h)) // 9, i % 9
        anchor = ANCHORS[ca] + np.float32(np.array([cx, cy, cx, cy]) * p["feat_stride"])
        b = _apply(anchor, delta36[4 * ca:4 * ca + 4, cy, cx])
        b[[0, 2]] = np.maximum(np.minimum(b[[0, 2]], np.float32(width)), np.float32(1))
        b[[1, 3]] = np.maximum(np.minimum(b[[1, 3]], np.float32(height)), np.float32(1))
        boxes.append(b)
    keep = [(b[2] - b[0]) >= p["rpn_min_size"] and (b[3] - b[1]) >= p["rpn_min_size"] for b in boxes]
    out = []
    for i in range(len(boxes)):
        if len(out) >= p["rpn_post_nms_top_n"]:
            break
        if not keep[i]:
            continue
        for j in range(i + 1, len(boxes)):
            if keep[j] and _overlap(boxes[i], boxes[j]) > np.float32(p["rpn_nms_thresh"]):
                keep[j] = False
        out.append(boxes[i])
    return np.array(out, np.float32).reshape(-1, 4)


def decode(rois, deltas, probs, height, width, threshold):
    """The detection decoding at scale 1: rows (x, y, w, h, score), best first."""
    recs = []
    for i, r in enumerate(rois):
        b = _apply(r, deltas[i, 4:8])
        if b[0] <= 1:
            b[0] = 1
        if b[1] <= 1:
            b[1] = 1
        if b[2] >= width:
            b[2] = width
        if b[3] >= height:
            b[3] = height
        recs.append((float(probs[i, 1]), b))
    recs.sort(key=lambda t: -t[0])
    alive = [True] * len(recs)
    out = []
    for i, (s, b) in enumerate(recs):
        if not alive[i]:
            continue
        if s < threshold:
            break
        for j in range(i + 1, len(recs)):
            if alive[j] and _overlap(b, recs[j][1]) > 0.3:
                alive[j] = False
        out.append([b[0], b[1], b[2] - b[0], b[3] - b[1], s])
    return np.array(out, np.float32).reshape(-1, 5)


def first_stage_run(det, planes):
    """(feature map (1, C, H', W'), proposal rows (N, 4)) of the exported
    network's first stage on one input (3, H, W), in PyTorch: what the
    second stage receives."""
    det.eval()
    _, h, w = planes.shape
    with torch.no_grad():
        f, z, d = det.rpn(torch.from_numpy(planes)[None])
        prob = torch.sigmoid(z[0]).numpy().astype(np.float32)
        other = np.float32(1.0 / (1.0 + np.exp(2.0 * dn.BACKGROUND_BIAS)))
        prob18 = np.full((18,) + prob.shape, other, np.float32)
        prob18[9 + dn.ANCHOR] = prob
        delta36 = np.zeros((36,) + prob.shape, np.float32)
        delta36[4 * dn.ANCHOR:4 * dn.ANCHOR + 4] = d[0].numpy()
    return f, proposal_layer(prob18, delta36, h, w, det.stride)


def reference_run(det, planes, threshold):
    """(proposal rows (N, 4), deltas (N, 8), probs (N, 2), detections (M, 5))
    of the exported network on one input (3, H, W), computed in PyTorch."""
    _, h, w = planes.shape
    f, rois = first_stage_run(det, planes)
    with torch.no_grad():
        r = dn.with_item(torch.from_numpy(rois))
        logits, reg = det.head(f, r)
        probs = torch.softmax(logits, 1).numpy()
        deltas = np.zeros((len(rois), 8), np.float32)
        deltas[:, 4:] = reg.numpy()
    return rois, deltas, probs, decode(rois, deltas, probs, h, w, threshold)


def runtime_run(model_path, planes, threshold):
    _, h, w = planes.shape
    with tempfile.TemporaryDirectory() as tmp:
        src, dst = os.path.join(tmp, "in.f32"), os.path.join(tmp, "out.f32")
        np.ascontiguousarray(planes, "<f4").tofile(src)
        subprocess.run([RUNNER, model_path, src, str(h), str(w), repr(threshold), dst], check=True)
        v = np.fromfile(dst, "<f4")
    n = int(v[0])
    rows = v[1:1 + 5 * n].reshape(n, 5)[:, 1:]
    at = 1 + 5 * n
    deltas = v[at:at + 8 * n].reshape(n, 8)
    probs = v[at + 8 * n:at + 10 * n].reshape(n, 2)
    m = int(v[at + 10 * n])
    dets = v[at + 10 * n + 1:].reshape(m, 5)
    return rows, deltas, probs, dets


def sample_inputs():
    """Two photos the parity is checked on: a portrait cut to 240 x 320, and
    a face-free photo."""
    portrait = cv2.imread(os.path.join(datasets.REPO, "samples", "obama.jpg"))
    portrait = cv2.resize(portrait, (256, 320))[0:240]
    neg_dir = datasets.data_dir("negatives")
    neg = cv2.imread(os.path.join(neg_dir, sorted(os.listdir(neg_dir))[0]))
    neg = cv2.resize(neg, (200, 150))
    return [network_input(portrait), network_input(neg)]


def compare(det, model_path, planes, threshold):
    want = reference_run(det, planes, threshold)
    got = runtime_run(model_path, planes, threshold)
    names = ("proposals", "deltas", "probabilities", "detections")
    worst = {}
    for name, a, b in zip(names, want, got):
        if a.shape != b.shape:
            return False, "%s: torch %s, runtime %s" % (name, a.shape, b.shape)
        worst[name] = float(np.abs(a - b).max()) if a.size else 0.0
    return True, worst


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    source = ap.add_mutually_exclusive_group(required=True)
    source.add_argument("--checkpoint")
    source.add_argument("--untrained", choices=sorted(dn.BACKBONES), metavar="LAYOUT",
                        help="an untrained network of this layout (%(choices)s), for timing")
    ap.add_argument("--out", default=MODEL)
    ap.add_argument("--box-scale", type=float, default=1.0, metavar="S",
                    help="multiplies the sides of the second stage's boxes (its width and height deltas "
                    "gain log S), to bring them onto the canonical face box (default %(default)s)")
    ap.add_argument("--background-bias", type=float, default=0.0, metavar="B",
                    help="add B to the second stage's background logit: the library keeps faces at "
                    "probability 0.8, so B > 0 asks for more confidence (fewer false detections)")
    args = ap.parse_args()
    if not args.box_scale > 0.0:
        sys.exit("export_detector: --box-scale must be positive, not %g" % args.box_scale)
    if args.untrained and os.path.abspath(args.out) == os.path.abspath(MODEL):
        sys.exit("export_detector: --untrained needs --out elsewhere than the shipped %s" % MODEL)
    if args.untrained:
        torch.manual_seed(0)
        det = dn.Detector(args.untrained, "wide").eval()
    else:
        det = dn.load_weights(args.checkpoint)
    if args.background_bias:
        with torch.no_grad():
            det.cls.bias[0] += args.background_bias
        print("background logit %+.2f" % args.background_bias)
    if args.box_scale != 1.0:
        with torch.no_grad():
            det.reg.bias[2:] += float(np.log(args.box_scale))
        print("box sides times %.3f" % args.box_scale)
    model = dn.export_model(det)
    stdcnn.write(model, args.out)
    print("wrote %s (%d layers)" % (args.out, len(model.layers)))
    if args.untrained:
        # Untrained proposal scores are near ties over the whole map, and
        # float rounding decides their order: parity would compare noise.
        print("untrained: no parity check, no fixture")
        return

    threshold = 0.5
    ok_all = True
    inputs = sample_inputs()
    for planes in inputs:
        ok, info = compare(det, args.out, planes, threshold)
        print("parity on %s input: %s %s" % ("x".join(map(str, planes.shape)), "ok" if ok else "FAILED", info))
        ok_all = ok_all and ok and info["proposals"] <= 1e-2 and info["deltas"] <= 1e-4 \
            and info["probabilities"] <= 1e-4 and info["detections"] <= 1e-2
    if not ok_all:
        sys.exit("export_detector: the runtime disagrees with PyTorch")

    planes = inputs[0]
    rois, deltas, probs, dets = reference_run(det, planes, threshold)
    path = os.path.join(os.path.dirname(os.path.abspath(args.out)), "parity",
                        os.path.basename(args.out).rsplit(".", 1)[0] + ".fixture")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    write_fixture(path,
                  tensors={"input": planes[None], "proposals": rois, "deltas": deltas, "probabilities": probs,
                           "detections": dets},
                  texts={"model": os.path.basename(args.out), "threshold": repr(threshold),
                         "input_shape": "%d %d %d" % planes.shape})
    print("wrote %s: %d proposals, %d detections at %.2f" % (path, len(rois), len(dets), threshold))


if __name__ == "__main__":
    main()
