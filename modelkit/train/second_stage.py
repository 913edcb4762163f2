"""Refits a detector's second stage on whole WIDER FACE training photos.

  /usr/bin/python3 -m modelkit train second-stage --init CKPT --out modelkit/runs/detector_refit.pt

The scene trainer (train/detector.py) teaches the second stage on 256-px
scenes: the best 16 proposals of each, jittered true boxes and random boxes,
half of them faces. The library hands it something else: the 100 proposals
of a whole photo at the 640-px working size, most of them background. Here
the backbone and the proposal head stay as they are, so every training
photo's proposals and their ROI-pooled features are computed once (the
photo and its mirror image; cached in --cache), and the second stage (its
hidden layers, class and box outputs) is fine-tuned on exactly those ROIs:
face at overlap >= 0.5 with a canonical face box, background below 0.3,
the rest not taught; cross-entropy and box deltas as in the scene trainer.
The faces are then a minority, as in a photo, so its probabilities come out
lower: the export's --background-bias (negative) sets the operating point.

With --scales 1,0.8 (say) the photos are also shown shrunk, colours
jittered: more ROIs of the same faces, at the sizes that other photos give
them, against a second stage that learns its training ROIs closer than it
generalises.

The canonical boxes come from WIDER's boxes through a fixed mapping
(data/wider.py), which is right on average but not per face. With
--teacher-boxes FILE (evaluate wider-box-fit --dlib --save FILE) the faces
that dlib's 68-point teacher places get the canonical box of its points
instead, so that the box outputs learn exact boxes where there is one.
"""
import argparse
import os
import time

import cv2
import numpy as np
import torch
import torch.nn.functional as F
from torchvision.ops import roi_pool

from modelkit.data import wider, wider_scenes
from modelkit.data.detector_scenes import network_input
from modelkit.evaluate.detector import scale_for_size
from modelkit.export.detector import first_stage_run
from modelkit.nets import detector_net as dn
from modelkit.train.detector import roi_labels

BATCH = 256            # ROIs per step
PHOTOS_PER_STEP = 8    # with a neck


def working_photo(photo, teacher=None):
    """(BGR image at the working size, canonical face boxes x1, y1, x2, y2 in
    it). teacher: (N, 4) canonical boxes in stored-photo pixels, NaN rows for
    the faces it has none of; they replace the mapped WIDER boxes."""
    img = cv2.imread(photo.path, cv2.IMREAD_COLOR)
    if img is None:
        raise SystemExit("%s: not a readable image" % photo.path)
    s = scale_for_size(*img.shape[:2])
    if s < 1.0:
        img = cv2.resize(img, None, fx=s, fy=s, interpolation=cv2.INTER_LINEAR)
    boxes = wider.canonical_from_wider(np.asarray(photo.boxes, np.float64).reshape(-1, 4))
    if teacher is not None:
        if teacher.shape != boxes.shape:
            raise SystemExit("%s: the teacher's boxes are not this photo's" % photo.name)
        known = np.isfinite(teacher).all(1)
        boxes[known] = teacher[known]
    return img, boxes * s


def mirrored(img, boxes):
    """The image flipped left to right, and its boxes with it."""
    w = img.shape[1]
    return (np.ascontiguousarray(img[:, ::-1]),
            np.stack([w - boxes[:, 2], boxes[:, 1], w - boxes[:, 0], boxes[:, 3]], 1))


def photo_rois(det, img, boxes):
    """(pooled features (N, C * P * P) float16, labels (N,) 1 / 0 / -1, box
    targets (N, 4)) of one photo's proposals. With a neck, which is trained
    too, the pooled features are not fixed: the first item is then the
    feature map (C, H, W) float16 and its proposals (N, 4)."""
    f, rois = first_stage_run(det, network_input(img))
    rois = torch.from_numpy(rois)
    if det.neck is not None:
        return ((f[0].half(), rois),) + roi_labels(rois, boxes)
    with torch.no_grad():
        pooled = roi_pool(f, dn.with_item(rois), (det.pooled, det.pooled), 1.0 / det.stride).flatten(1)
    return (pooled.half(),) + roi_labels(rois, boxes)


def rescaled(img, boxes, factor, rng):
    """The photo shrunk by `factor` (area averaging) with its colours
    jittered, and its boxes with it: the same faces as a smaller photo of
    another camera shows them."""
    small = cv2.resize(img, None, fx=factor, fy=factor, interpolation=cv2.INTER_AREA)
    return wider_scenes.photometric_jitter(small, rng), boxes * factor


def training_rois(det, photos, teacher=None, scales=(1.0,), seed=0):
    """Every proposal of every photo and its mirror image, at the working
    size and at each further factor of `scales` below 1."""
    parts = []
    rng = np.random.default_rng(seed)
    t0 = time.time()
    for n, photo in enumerate(photos):
        img, boxes = working_photo(photo, None if teacher is None else teacher.get(photo.name))
        for factor in scales:
            shown = (img, boxes) if factor == 1.0 else rescaled(img, boxes, factor, rng)
            parts.append(photo_rois(det, *shown))
            parts.append(photo_rois(det, *mirrored(*shown)))
        if (n + 1) % 100 == 0:
            print("%d / %d photos, %.0f s" % (n + 1, len(photos), time.time() - t0), flush=True)
    if det.neck is not None:
        return parts   # one record per shown photo: ((map, proposals), labels, targets)
    return tuple(torch.cat(v) for v in zip(*parts))


def pooled_batches(det, examples):
    """(example count, examples per step, run): run(indices) gives (logits,
    deltas, labels, targets) of those taught ROIs of training_rois'
    pooled features."""
    features, labels, targets = examples
    taught = labels >= 0
    features, labels, targets = features[taught], labels[taught], targets[taught]

    def run(batch):
        return det.classify(features[batch].float()) + (labels[batch], targets[batch])
    return len(features), BATCH, run


def photo_batches(det, examples):
    """As pooled_batches, for a second stage with a neck: a step is a few
    whole photos, the neck run on each feature map and every taught ROI of
    the photo pooled from it."""
    def run(batch):
        out = []
        for i in batch.tolist():
            (f, rois), labels, targets = examples[i]
            taught = labels >= 0
            if taught.any():
                out.append(det.head(f[None].float(), dn.with_item(rois[taught])) + (labels[taught], targets[taught]))
        return tuple(torch.cat(v) for v in zip(*out))
    return len(examples), PHOTOS_PER_STEP, run


def refit(det, examples, epochs, lr, seed=0):
    """Fine-tunes det's second stage (with its neck, if it has one) on the
    taught ROIs of training_rois' examples, cosine learning rate; prints the
    mean losses of each epoch."""
    layers = list(det.hidden) + [det.cls, det.reg] + ([] if det.neck is None else [det.neck])
    count, per_step, run = (pooled_batches if det.neck is None else photo_batches)(det, examples)
    opt = torch.optim.AdamW([p for m in layers for p in m.parameters()], lr=lr, weight_decay=1e-4)
    gen = torch.Generator().manual_seed(seed)
    steps = epochs * ((count + per_step - 1) // per_step)
    step = 0
    det.train()
    for epoch in range(epochs):
        sums, count_done = np.zeros(2), 0
        for batch in torch.randperm(count, generator=gen).split(per_step):
            for g in opt.param_groups:
                g["lr"] = lr * 0.5 * (1.0 + np.cos(np.pi * step / steps))
            logits, deltas, labels, targets = run(batch)
            faces = labels == 1
            l_cls = F.cross_entropy(logits, labels)
            l_reg = (F.smooth_l1_loss(deltas[faces], targets[faces], beta=0.1, reduction="sum")
                     / max(1, int(faces.sum())))
            opt.zero_grad()
            (l_cls + l_reg).backward()
            opt.step()
            step += 1
            sums += [float(l_cls), float(l_reg)]
            count_done += 1
        print("epoch %d: class loss %.4f, box loss %.4f" % (epoch + 1, *(sums / count_done)), flush=True)
    return det.eval()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--init", required=True, help="the detector: a checkpoint (.pt) or an exported file (.dat)")
    ap.add_argument("--out", required=True, help="checkpoint to write (.pt; export detector reads it)")
    ap.add_argument("--cache", help="file for the training photos' ROIs: read when it exists, else written "
                    "(valid only for the --init it was made from)")
    ap.add_argument("--epochs", type=int, default=10)
    ap.add_argument("--lr", type=float, default=5e-4)
    ap.add_argument("--threads", type=int, default=1)
    ap.add_argument("--scales", default="1", help="comma-separated factors of the working size the photos "
                    "are shown at, each with its mirror image; below 1 shrunk by area averaging and their "
                    "colours jittered (default %(default)s)")
    ap.add_argument("--teacher-boxes", metavar="FILE", help="canonical boxes from dlib's 68 points where it "
                    "places a face (evaluate wider-box-fit --dlib --save FILE)")
    ap.add_argument("--neck", action="store_true", help="give the second stage a neck of its own "
                    "(detector_net.with_neck), trained with it; an --init that has one keeps it anyway")
    args = ap.parse_args()
    try:
        scales = tuple(float(v) for v in args.scales.split(","))
    except ValueError:
        raise SystemExit("--scales: comma-separated numbers, not %r" % args.scales)
    if not scales or any(not 0.2 <= v <= 1.0 for v in scales):
        raise SystemExit("--scales: factors from 0.2 to 1, not %r" % args.scales)
    torch.set_num_threads(args.threads)
    cv2.setNumThreads(1)
    det = dn.load_weights(args.init)
    if args.neck and det.neck is None:
        try:
            det = dn.with_neck(det)
        except ValueError as e:
            raise SystemExit("--neck: %s" % e)
    teacher_path = os.path.abspath(args.teacher_boxes) if args.teacher_boxes else None
    if args.cache and os.path.exists(args.cache):
        cached = torch.load(args.cache)
        # A cache of older runs has no scales: it was made at the working size.
        made = {"init": cached.get("init"), "scales": tuple(cached.get("scales", (1.0,))),
                "teacher boxes": cached.get("teacher"), "neck": cached.get("neck", False)}
        wanted = {"init": os.path.abspath(args.init), "scales": scales, "teacher boxes": teacher_path,
                  "neck": det.neck is not None}
        for what, value in made.items():
            if value != wanted[what]:
                raise SystemExit("%s was made with %s %s, not %s" % (args.cache, what, value, wanted[what]))
        examples = cached["rois"]
        print("ROIs from %s" % args.cache, flush=True)
    else:
        photos = wider.load("train")
        print("WIDER training photos: %d, and their mirror images, at %s of the working size"
              % (len(photos), ", ".join("%g" % v for v in scales)), flush=True)
        teacher = None
        if args.teacher_boxes:
            with np.load(args.teacher_boxes) as f:
                teacher = {name: f[name] for name in f.files}
        examples = training_rois(det, photos, teacher, scales)
        if args.cache:
            torch.save(dict(init=os.path.abspath(args.init), teacher=teacher_path, scales=scales,
                            neck=det.neck is not None, rois=examples), args.cache)
    labels = examples[1] if det.neck is None else torch.cat([e[1] for e in examples])
    print("ROIs: %d, faces %d, background %d, not taught %d" % (
        len(labels), int((labels == 1).sum()), int((labels == 0).sum()), int((labels < 0).sum())), flush=True)
    refit(det, examples, args.epochs, args.lr)
    torch.save(dn.checkpoint_of(det), args.out)
    print("second stage refitted: %s" % args.out, flush=True)


if __name__ == "__main__":
    main()
