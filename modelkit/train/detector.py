"""Trains the face detector on synthetic scenes (modelkit/data/detector_scenes.py).

  nohup /usr/bin/python3 -m modelkit train detector --until 07:00 \
      > modelkit/runs/detector.log 2>&1 &

The learning rate follows a cosine over the time left until --until (UTC).
runs/detector_last.pt (runs/detector_TAG_last.pt with --tag TAG) is written
every few minutes (a restart resumes it); --fresh ignores it. Threads:
--threads (default 1; the machine is shared). With --average-from, the mean
of the weights written late in the run (at every checkpoint after that
share of the time) goes to runs/detector[_TAG]_average.pt at every
checkpoint; train/average_checkpoints.py joins the averages of runs side by side.

Both stages train together. The proposal head learns, per feature cell,
whether a face centre lies near the cell (focal loss; cells a little further
away are ignored) and the deltas from the cell's 128 x 128 anchor to the
face box. The second stage learns on ROIs made of the proposal head's own
best boxes (after suppression, as the proposal layer does), jittered copies
of the true boxes and random boxes: face when the overlap with a face is at
least 0.5, background below 0.3. With --background-photos it also learns
the best proposals of whole face-free photos as background: a photo at the
library's working size offers the second stage many more face-like patches
than a scene that is mostly faces. With --wider-photos the same holds for
whole WIDER training photos, faces included: each teaches the proposal head
and gives the second stage its own 100 proposals, as the library runs it,
so that the backbone learns what the second stage needs on real photos.
"""
import argparse
import datetime
import math
import os
import time

import cv2
import numpy as np
import torch
import torch.nn.functional as F
from torchvision.ops import box_iou, nms

from modelkit.data import datasets
from modelkit.data import detector_scenes as ds
from modelkit.nets import detector_net as dn
from modelkit.train.clock import WeightAverage, add_until_option, save_checkpoint, utc_next_at

RUNS = datasets.RUNS

POS_RADIUS = 0.2      # cell centre within 0.2 face sides of the face centre
IGNORE_RADIUS = 0.45
IGNORE_PIXELS = 12.0
ROI_POS, ROI_NEG = 0.5, 0.3


def rpn_targets(boxes, height, width, stride, ignore=()):
    """Per-cell labels (1 face, 0 background, -1 not taught) and anchor-3
    deltas; cells whose anchor centre lies in an `ignore` region (x1, y1,
    x2, y2) are not taught background."""
    labels = np.zeros((height, width), np.float32)
    reg = np.zeros((4, height, width), np.float32)
    best = np.full((height, width), np.inf)
    xs, ys, anchor = dn.anchor_centres(height, width, stride)
    for b in boxes:
        # Boxes are squares except where the scene's border cuts a close-up.
        bw, bh = b[2] - b[0], b[3] - b[1]
        cx, cy = b[0] + 0.5 * bw, b[1] + 0.5 * bh
        dx = np.abs(xs - cx)[None, :] / bw
        dy = np.abs(ys - cy)[:, None] / bh
        dist = np.maximum(dx, dy)
        near = np.unravel_index(np.argmin(dist), dist.shape)
        pos = dist <= POS_RADIUS
        pos[near] = True
        # Tiny faces sit between cells: the cells next to the nearest one are
        # neither taught face nor background.
        ign = ((dist <= IGNORE_RADIUS) | (dist * min(bw, bh) <= IGNORE_PIXELS)) & ~pos
        labels[ign & (labels == 0)] = -1
        take = pos & (dist < best)
        labels[pos] = 1
        best[take] = dist[take]
        t = np.array([(cx - xs[None, :]) / anchor + 0 * dy, (cy - ys[:, None]) / anchor + 0 * dx,
                      np.full_like(dist, math.log(bw / anchor)), np.full_like(dist, math.log(bh / anchor))])
        reg[:, take] = t[:, take]
    for b in ignore:
        inside = (((xs >= b[0]) & (xs <= b[2]))[None, :]) & (((ys >= b[1]) & (ys <= b[3]))[:, None])
        labels[inside & (labels == 0)] = -1
    return labels, reg


def focal_loss(logits, labels, gamma=2.0, alpha=0.25):
    keep = labels >= 0
    z, y = logits[keep], labels[keep]
    p = torch.sigmoid(z)
    ce = F.binary_cross_entropy_with_logits(z, y, reduction="none")
    pt = p * y + (1 - p) * (1 - y)
    w = alpha * y + (1 - alpha) * (1 - y)
    return (w * (1 - pt) ** gamma * ce).sum()


def proposal_head_losses(score, delta, labels, targets):
    """(class loss, box loss, face cells) of the proposal head on a batch of
    cell labels and anchor deltas (rpn_targets), both losses per face cell."""
    npos = max(1.0, float((labels == 1).sum()))
    l_cls = focal_loss(score, labels) / npos
    posm = (labels == 1)[:, None].expand_as(delta)
    l_reg = F.smooth_l1_loss(delta[posm], targets[posm], beta=0.1, reduction="sum") / npos
    return l_cls, l_reg, npos


def proposals(score, delta, image_hw, stride, keep=16, considered=100):
    """The proposal layer's boxes for one image of image_hw = (height,
    width): anchor-3 decoding, clip to the image, the best `considered`
    scores, suppression at 0.7, best `keep`."""
    h, w = score.shape
    xs, ys, anchor = dn.anchor_centres(h, w, stride)
    x1 = torch.tensor(xs - 0.5 * anchor, dtype=torch.float32)[None, :].expand(h, w)
    y1 = torch.tensor(ys - 0.5 * anchor, dtype=torch.float32)[:, None].expand(h, w)
    anchors = torch.stack([x1, y1, x1 + anchor - 1, y1 + anchor - 1], -1).reshape(-1, 4)
    boxes = dn.apply_deltas(anchors, delta.reshape(4, -1).t())
    limit = torch.tensor([image_hw[1], image_hw[0]] * 2, dtype=torch.float32)
    boxes = torch.maximum(torch.minimum(boxes, limit), torch.ones(4))
    s = score.reshape(-1)
    top = torch.argsort(s, descending=True)[:considered]
    boxes, s = boxes[top], s[top]
    ok = ((boxes[:, 2] - boxes[:, 0]) >= dn.MIN_BOX) & ((boxes[:, 3] - boxes[:, 1]) >= dn.MIN_BOX)
    boxes, s = boxes[ok], s[ok]
    return boxes[nms(boxes, s, 0.7)[:keep]]


def background_scores(det, negatives, rng, keep=32):
    """(second-stage logits of the best proposals, proposal-score map) of a
    whole face-free photo at about the size the library sees photos: the
    false detections a photo offers, which scenes full of faces rarely put
    among their best proposals. The first stage keeps its gradients only
    when it is being trained."""
    img = negatives[rng.integers(len(negatives))]
    f = rng.uniform(0.6, 1.0)
    img = cv2.resize(img, None, fx=f, fy=f, interpolation=cv2.INTER_AREA)
    if rng.random() < 0.5:
        img = img[:, ::-1]
    bgr = cv2.cvtColor(np.ascontiguousarray(img), cv2.COLOR_GRAY2BGR)
    feats, score, delta = det.rpn(torch.from_numpy(ds.network_input(bgr))[None])
    boxes = proposals(score[0].detach(), delta[0].detach(), img.shape, det.stride, keep)
    logits, _ = det.head(feats, dn.with_item(boxes))
    return logits, score[0]


def photo_losses(det, maker, rng, rois=64, face_share=0.25):
    """Losses of one whole WIDER training photo at about the working size,
    taught as the library runs it: (proposal-head class loss, its box loss,
    second-stage logits, their labels, second-stage box deltas of the faces,
    their targets). The second stage learns on the photo's own 100 proposals
    (the library's 300 best scores and suppression) and its face boxes, at
    most `rois` of them, at most `face_share` faces: mostly the background
    that a real photo puts among its best proposals, with the gradients
    reaching the backbone (the second-stage refit keeps it fixed)."""
    img, faces, ignore = maker.photo()
    x = torch.from_numpy(ds.network_input(img))[None]
    feats, score, delta = det.rpn(x)
    fh, fw = score.shape[1:]
    lab, reg = rpn_targets(faces, fh, fw, det.stride, ignore)
    lab, reg = torch.from_numpy(lab)[None], torch.from_numpy(reg)[None]
    l_cls, l_reg, _ = proposal_head_losses(score, delta, lab, reg)
    h, w = img.shape[:2]
    gt = np.clip(faces, 0.0, [w, h, w, h]).tolist()
    boxes = proposals(score[0].detach(), delta[0].detach(), (h, w), det.stride, keep=100, considered=300)
    boxes = torch.cat([boxes, torch.tensor(gt, dtype=torch.float32).reshape(-1, 4).clamp(min=1.0)])
    labels, targets = roi_labels(boxes, gt)
    untaught_near(labels, boxes, ignore)
    pick = sampled(labels, rois, int(rois * face_share))
    logits, deltas = det.head(feats, dn.with_item(boxes[pick]))
    is_face = labels[pick] == 1
    return l_cls, l_reg, logits, labels[pick], deltas[is_face], targets[pick][is_face]


def jittered(gt, rng, copies=2):
    out = []
    for b in gt:
        bw, bh = b[2] - b[0], b[3] - b[1]
        for _ in range(copies):
            f = math.exp(rng.uniform(-0.25, 0.25))
            cx = b[0] + 0.5 * bw + rng.uniform(-0.2, 0.2) * bw
            cy = b[1] + 0.5 * bh + rng.uniform(-0.2, 0.2) * bh
            out.append([cx - f * bw / 2, cy - f * bh / 2, cx + f * bw / 2, cy + f * bh / 2])
    return out


def random_boxes(rng, size, count):
    out = []
    for _ in range(count):
        s = math.exp(rng.uniform(math.log(16), math.log(size)))
        x, y = rng.uniform(-0.2 * s, size - 0.8 * s, 2)
        out.append([x, y, x + s, y + s])
    return out


def roi_labels(rois, boxes):
    """(labels (N,): 1 at overlap >= ROI_POS with a face box, 0 below ROI_NEG,
    -1 between; box targets (N, 4) towards the most overlapping face) of
    rois (N, 4) against face boxes (M, 4), both x1, y1, x2, y2."""
    gt = torch.as_tensor(np.asarray(boxes), dtype=torch.float32).reshape(-1, 4)
    if len(gt) and len(rois):
        best, which = box_iou(rois, gt).max(1)
        targets = dn.box_targets(rois, gt[which])
    else:
        best, targets = torch.zeros(len(rois)), torch.zeros(len(rois), 4)
    labels = torch.full((len(rois),), -1, dtype=torch.long)
    labels[best >= ROI_POS] = 1
    labels[best < ROI_NEG] = 0
    return labels, targets


def untaught_near(labels, rois, ignore):
    """Background ROIs that overlap an ignore region (x1, y1, x2, y2) by IoU
    >= 0.25 become untaught (-1), in place."""
    if len(ignore) and len(rois):
        near = box_iou(rois, torch.tensor(np.asarray(ignore), dtype=torch.float32).reshape(-1, 4)).max(1)[0]
        labels[(labels == 0) & (near >= 0.25)] = -1


def sampled(labels, count, faces_at_most):
    """Indices of at most `count` taught ROIs drawn at random, at most
    `faces_at_most` of them faces (label 1), the rest background (0)."""
    pos = torch.nonzero(labels == 1)[:, 0]
    neg = torch.nonzero(labels == 0)[:, 0]
    pos = pos[torch.randperm(len(pos))[:faces_at_most]]
    neg = neg[torch.randperm(len(neg))[:count - len(pos)]]
    return torch.cat([pos, neg])


def roi_batch(score, delta, gts, size, stride, rng, per_image=32, ignores=None, offered=16):
    """ROIs, labels and box targets of the second stage from the best
    `offered` proposals of each scene and extra boxes, at most `per_image`
    per scene, at most half of them faces; a background ROI that overlaps
    an ignore region of its scene (ignores[i]) by IoU >= 0.25 is not
    taught."""
    rois, labels, targets = [], [], []
    for i, gt in enumerate(gts):
        cand = [proposals(score[i].detach(), delta[i].detach(), (size, size), stride, offered)]
        extra = jittered(gt, rng) + random_boxes(rng, size, 4)
        cand.append(torch.tensor(extra, dtype=torch.float32).reshape(-1, 4).clamp(1.0, float(size)))
        boxes = torch.cat(cand)
        boxes = boxes[((boxes[:, 2] - boxes[:, 0]) >= 4) & ((boxes[:, 3] - boxes[:, 1]) >= 4)]
        lab, tgt = roi_labels(boxes, gt)
        if ignores is not None:
            untaught_near(lab, boxes, ignores[i])
        pick = sampled(lab, per_image, per_image // 2)
        rois.append(torch.cat([torch.full((len(pick), 1), float(i)), boxes[pick]], 1))
        labels.append(lab[pick])
        targets.append(tgt[pick])
    return torch.cat(rois), torch.cat(labels), torch.cat(targets)


def lr_at(base, start, until, now):
    frac = min(1.0, max(0.0, (now - start) / max(1.0, until - start)))
    return base * 0.5 * (1 + math.cos(math.pi * frac)) + base * 0.01


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    add_until_option(ap)
    ap.add_argument("--batch", type=int, default=12)
    ap.add_argument("--size", type=int, default=256)
    ap.add_argument("--lr", type=float, default=2e-3)
    ap.add_argument("--threads", type=int, default=1)
    ap.add_argument("--fresh", action="store_true")
    ap.add_argument("--without-fine-layer", action="store_true",
                    help="keep the stride-8 cross layer as the identity (not trained; left out of the export)")
    ap.add_argument("--layout", choices=sorted(dn.BACKBONES), default="s16",
                    help="network layout of a new run (default s16; --init and a resumed run keep their own)")
    ap.add_argument("--head", choices=sorted(dn.HEADS),
                    help="second stage of a new run (default small); with --init, a different size "
                    "keeps the proposals of the file and starts the second stage untrained")
    ap.add_argument("--deepen", action="store_true",
                    help="with --init of an s8 detector: train it as layout s8d, its two added cross "
                    "layers starting as the identity")
    ap.add_argument("--widen", action="store_true",
                    help="with --init of an s8d detector: train it as layout s8w, its new channels "
                    "starting with no say in the outputs")
    ap.add_argument("--second-stage-only", action="store_true",
                    help="train only the second stage: the backbone and the proposals stay as they start")
    ap.add_argument("--head-proposals", type=int, default=16, metavar="K",
                    help="the second stage learns on the best K proposals of each scene (default %(default)s)")
    ap.add_argument("--head-rois", type=int, default=32, metavar="N",
                    help="at most N ROIs per scene for the second stage, at most half of them faces "
                    "(default %(default)s)")
    ap.add_argument("--background-photos", type=int, default=0, metavar="N",
                    help="per step, the second stage also learns that the best proposals on N whole "
                    "face-free photos are background (and the proposal head, when it trains, that "
                    "every cell of them is) (default %(default)s)")
    ap.add_argument("--stem-from", metavar="FILE",
                    help="a new run takes its convolutions up to c2, the first at stride 8, from this "
                    "detector (the same in s16 and s8; s8f has its own)")
    ap.add_argument("--init", help="with --fresh: start from this checkpoint's weights (.pt) or an exported file (.dat)")
    ap.add_argument("--crowd-share", type=float, default=ds.CROWD_SHARE,
                    help="share of scenes that are groups of 10-30 small faces (default %(default)s)")
    ap.add_argument("--close-up-share", type=float, default=0.0,
                    help="share of scenes that are one face larger than the view, its box cut by the "
                    "scene's border (default %(default)s)")
    ap.add_argument("--whole-close-ups", action="store_true",
                    help="the proposal head learns a close-up's whole box, past the scene's border, so "
                    "that it can propose faces larger than a scene; the second stage still learns the "
                    "part inside, as the proposal layer clips its boxes (scenes of earlier runs: the "
                    "part inside for both)")
    ap.add_argument("--style-share", type=float, default=0.0,
                    help="share of pasted faces drawn, printed, flattened, shadowed, darkened or partly "
                    "covered, and turned by up to %g degrees instead of %g (default %%(default)s)"
                    % (ds.STYLED_TILT, ds.TILT))
    ap.add_argument("--glasses-share", type=float, default=0.0,
                    help="share of pasted faces that get glasses drawn over the eyes (default %(default)s)")
    ap.add_argument("--faces300w-share", type=float, default=0.0, metavar="S",
                    help="share of pasted faces taken from the faces300w training photos (faces in the "
                    "wild; the landmark validation photos are left out) (default %(default)s)")
    ap.add_argument("--anti-alias", action="store_true",
                    help="shrink face photos by area averaging before warping them into a scene, as a "
                    "camera or a photo's reduction would (scenes of earlier runs: without)")
    ap.add_argument("--wider-share", type=float, default=0.0,
                    help="share of scenes cut from WIDER FACE training photos (data/wider_scenes.py; "
                    "non-commercial research data) instead of synthetic ones (default %(default)s)")
    ap.add_argument("--wider-photos", type=int, default=0, metavar="N",
                    help="per step, also N whole WIDER training photos at about the working size: the "
                    "proposal head learns them, and the second stage their own best proposals, mostly "
                    "background, with the gradients reaching the backbone (default %(default)s)")
    ap.add_argument("--new-schedule", action="store_true",
                    help="when resuming: keep weights, optimiser state and step, but start the "
                    "learning-rate curve anew from now to --until (a run taken up on another day)")
    ap.add_argument("--tag", default="", help="name of this run's checkpoint: runs/detector_TAG_last.pt "
                    "(two runs side by side)")
    ap.add_argument("--average-from", type=float, default=None, metavar="FRAC",
                    help="average the weights of the checkpoints written after this share of the time "
                    "(the held-out count moves by several faces between checkpoints; the mean moves less); "
                    "saved to runs/detector[_TAG]_average.pt")
    args = ap.parse_args()
    if not 0.0 <= args.faces300w_share < 1.0:
        raise SystemExit("--faces300w-share: a share from 0 to below 1, not %g" % args.faces300w_share)
    stem = os.path.join(RUNS, "detector_%s_" % args.tag if args.tag else "detector_")
    LAST, AVERAGE = stem + "last.pt", stem + "average.pt"
    torch.set_num_threads(args.threads)
    cv2.setNumThreads(1)

    until = utc_next_at(args.until)

    start_weights = args.init if args.fresh else None
    resume = torch.load(LAST) if os.path.exists(LAST) and not args.fresh else None
    if start_weights:
        det = dn.load_weights(start_weights)
        if args.head and args.head != det.head_name:
            det = dn.with_head(det, args.head)
        if args.deepen:
            det = dn.deepened(det)
        if args.widen:
            det = dn.widened(det)
    elif resume:
        det = dn.from_checkpoint(resume)
    else:
        det = dn.Detector(args.layout, args.head or "small")
    det.train()
    if args.stem_from and not (start_weights or resume):
        src = dn.load_weights(args.stem_from).backbone
        pairs = list(zip(det.backbone.stem() + [det.backbone.c2], src.stem() + [src.c2]))
        if len(src.stem()) != len(det.backbone.stem()) or any(
                mine.weight.shape != theirs.weight.shape for mine, theirs in pairs):
            raise SystemExit("--stem-from: %s has other convolutions up to c2 than layout %s"
                             % (args.stem_from, det.layout))
        for mine, theirs in pairs:
            mine.load_state_dict(theirs.state_dict())
        print("convolutions up to c2 from %s" % args.stem_from, flush=True)
    if args.without_fine_layer and det.backbone.optional() is not None:
        dn.identity_cross(det.backbone.optional())
        det.backbone.optional().requires_grad_(False)
    if args.second_stage_only:
        for m in det.first_stage():
            m.requires_grad_(False)
    opt = torch.optim.AdamW([p for p in det.parameters() if p.requires_grad], lr=args.lr, weight_decay=1e-4)
    step, start = 0, time.time()
    if start_weights:
        print("weights from %s" % start_weights, flush=True)
    if resume:
        opt.load_state_dict(resume["opt"])
        step, start = resume["step"], resume["start"]
        if args.new_schedule:
            start = time.time()
        print("resumed at step %d" % step + (", learning rate curve from now" if args.new_schedule else ""),
              flush=True)
    average = WeightAverage()
    if resume:
        average.resume(resume)
    elif os.path.exists(AVERAGE):
        # A new run's tag would otherwise still show the old run's mean.
        os.remove(AVERAGE)
        print("removed the previous run's %s" % AVERAGE, flush=True)

    t0 = time.time()
    photos = ds.load_face_photos(faces300w=args.faces300w_share > 0)
    negatives = ds.load_negatives()
    print("faces %s, negatives %d, loaded in %.0f s" % ({k: len(v) for k, v in photos.items()},
                                                         len(negatives), time.time() - t0), flush=True)
    maker = ds.SceneMaker(photos, negatives, args.size, seed=step + 1, crowd_share=args.crowd_share,
                          close_up_share=args.close_up_share, style_share=args.style_share,
                          glasses_share=args.glasses_share, anti_alias=args.anti_alias,
                          whole_close_ups=args.whole_close_ups, faces300w_share=args.faces300w_share)
    rng = np.random.default_rng(step + 7)
    wider_maker = None
    if args.wider_share > 0 or args.wider_photos > 0:
        from modelkit.data import wider, wider_scenes
        wider_maker = wider_scenes.WiderSceneMaker(wider.load("train"), args.size, seed=step + 3)
        print("WIDER training photos: %d, share of scenes %.2f" % (len(wider_maker.photos), args.wider_share),
              flush=True)
    fh = dn.feature_size(args.size, det.backbone)
    print("layout %s, %s second stage: %d x %d feature cells per scene" % (det.layout, det.head_name, fh, fh),
          flush=True)

    def save():
        if args.average_from is not None and (time.time() - start) >= args.average_from * (until - start):
            average.update(det)
        save_checkpoint(dn.checkpoint_of(det, opt=opt.state_dict(), step=step, start=start, **average.saved()),
                        LAST)
        if average.count:
            save_checkpoint(dn.checkpoint_of(det, average.state(), step=step, averaged=average.count), AVERAGE)

    saved = time.time()
    sums = np.zeros(5)
    count = 0
    det.train()
    while time.time() < until:
        lr = lr_at(args.lr, start, until, time.time())
        for g in opt.param_groups:
            g["lr"] = lr
        imgs, gts, labs, regs, ignores = [], [], [], [], []
        for _ in range(args.batch):
            if wider_maker is not None and rng.random() < args.wider_share:
                img, boxes, ignore = wider_maker.scene()
            else:
                (img, boxes), ignore = maker.scene(), np.zeros((0, 4))
            ignores.append(ignore)
            imgs.append(ds.network_input(img))
            # The second stage sees proposals clipped to the scene, and learns the part inside.
            gts.append(np.clip(boxes, 0.0, float(args.size)).tolist())
            l, r = rpn_targets(boxes, fh, fh, det.stride, ignore)
            labs.append(l)
            regs.append(r)
        x = torch.from_numpy(np.stack(imgs))
        lab = torch.from_numpy(np.stack(labs))
        reg = torch.from_numpy(np.stack(regs))
        feats, score, delta = det.rpn(x)
        l_cls, l_reg, npos = proposal_head_losses(score, delta, lab, reg)
        rois, rlab, rtgt = roi_batch(score, delta, gts, args.size, det.stride, rng, per_image=args.head_rois,
                                     ignores=ignores, offered=args.head_proposals)
        logits, rdelta = det.head(feats, rois)
        keep = rlab >= 0
        logits, rlab_kept = logits[keep], rlab[keep]
        for _ in range(args.background_photos):
            more, bg_score = background_scores(det, negatives, rng)
            logits = torch.cat([logits, more])
            rlab_kept = torch.cat([rlab_kept, torch.zeros(len(more), dtype=torch.long)])
            if bg_score.requires_grad:
                l_cls = l_cls + focal_loss(bg_score, torch.zeros_like(bg_score)) / npos
        hp = rlab == 1
        rdelta, rtgt = rdelta[hp], rtgt[hp]
        for _ in range(args.wider_photos):
            p_cls, p_reg, more, more_lab, more_delta, more_tgt = photo_losses(det, wider_maker, rng)
            # The photos together weigh as much as the batch of scenes in the proposal head.
            l_cls, l_reg = l_cls + p_cls / args.wider_photos, l_reg + p_reg / args.wider_photos
            taught = more_lab >= 0
            logits = torch.cat([logits, more[taught]])
            rlab_kept = torch.cat([rlab_kept, more_lab[taught]])
            rdelta, rtgt = torch.cat([rdelta, more_delta]), torch.cat([rtgt, more_tgt])
        l_hcls = F.cross_entropy(logits, rlab_kept)
        l_hreg = (F.smooth_l1_loss(rdelta, rtgt, beta=0.1, reduction="sum") / max(1, len(rdelta))
                  if len(rdelta) else torch.zeros(()))
        loss = l_cls + l_reg + l_hcls + l_hreg
        opt.zero_grad()
        loss.backward()
        torch.nn.utils.clip_grad_norm_(det.parameters(), 10.0)
        opt.step()
        step += 1
        sums += [float(loss), float(l_cls), float(l_reg), float(l_hcls), float(l_hreg)]
        count += 1
        if step % 50 == 0:
            m = sums / count
            print("%s step %d lr %.2e loss %.3f rpn_cls %.3f rpn_reg %.3f head_cls %.3f head_reg %.3f"
                  % (datetime.datetime.utcnow().strftime("%H:%M:%S"), step, lr, *m), flush=True)
            sums[:] = 0
            count = 0
        if time.time() - saved > 180:
            save()
            saved = time.time()
    save()
    print("done at step %d" % step + (", %d checkpoints averaged in %s" % (average.count, AVERAGE)
                                      if average.count else ""), flush=True)


if __name__ == "__main__":
    main()
