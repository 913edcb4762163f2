"""Trains the 95-point network with its face check.

  nohup /usr/bin/python3 -m modelkit train ninety-five --until 07:05 \
      > modelkit/runs/ninety_five.log 2>&1 &

Faces: frames68 (hand-labelled, shown --frames68-copies times per epoch),
lfw_grey (dlib teacher) and, with --faces300w-copies N, the faces300w
training photos (hand-labelled, in the wild, shown N times per epoch), with
their 68 points turned into the 95-point layout (data/layout95.py); non-faces:
negatives/ (data/samples95.py). Every epoch makes fresh crops the library's
way: jittered canonical box -> the shipped five-point network ->
warpFromFivePoints, with mirroring, rotation and lighting changes; with
--detector-boxes SHARE, that share of the crops of the faces the shipped
detector finds starts from the detector's own box (data/detected_boxes.py).
Loss: mean point distance / eye distance over the 95 points, plus
(--five-weight, default a half) of it over the five points the library
derives, plus 0.2 x the cross entropy of the two face logits.

The learning rate follows a cosine over the wall-clock time left until
--until (UTC). runs/ninety_five_last.pt is written every few minutes and at
every epoch (a restart resumes it, with the late epochs' mean so far);
runs/ninety_five_best.pt at every improvement of the validation score (the
derived five-point error on frames68 plus any shortfall of the face check:
faces accepted below 99 %, non-faces accepted above 1 %). With
--average-from, the mean of the weights at the ends of the late epochs goes
to runs/ninety_five_average.pt at the end. --tag NAME puts NAME into these
file names, so that two runs can go on side by side. Threads: the number in
runs/threads95, else 1.
"""
import argparse
import os
import time

import numpy as np
import torch
import torch.nn.functional as F

from modelkit.data import datasets, detected_boxes, samples95
from modelkit.nets.ninety_five_net import WIDTHS, network_of
from modelkit.train.epoch_validation import RunValidation, learning_rate
from modelkit.train.clock import (add_until_option, apply_threads, init_weights, save_checkpoint,
                            start_for_fraction, threads_from_file, utc_next_at)

RUNS = datasets.RUNS
FIVE_ROWS = ((39, 45), (51, 57), (65, 72), (87, 87), (91, 91))
VALIDATION_SOURCES = ("frames68", "lfw_grey")


def set_threads():
    apply_threads(threads_from_file(os.path.join(RUNS, "threads95"), 1))


def derived_five(p):
    """(N, 5, 2) five points of (N, 95, 2) shapes, the library's way."""
    return torch.stack([(p[:, a] + p[:, b]) / 2 for a, b in FIVE_ROWS], 1)


def point_errors(pred, target):
    """Per face: (95-point error, derived five-point error), each the mean
    point distance over the distance between the target's eye centres."""
    p, t = pred.view(-1, 95, 2), target.view(-1, 95, 2)
    p5, t5 = derived_five(p), derived_five(t)
    iod = (t5[:, 1] - t5[:, 0]).norm(dim=1).clamp_min(1e-3)
    e95 = ((p - t).pow(2).sum(2) + 1e-8).sqrt().mean(1) / iod
    e5 = ((p5 - t5).pow(2).sum(2) + 1e-8).sqrt().mean(1) / iod
    return e95, e5


def to_tensor(crops60):
    return torch.from_numpy(np.stack(crops60)).float().unsqueeze(1)


def validation_face_crops(maker, val_faces):
    """{source: (crops, 95-point labels)} of the validation faces, canonical
    boxes, no augmentation; frames68 first, then lfw_grey, then faces300w
    when the run uses it. When the maker knows the detector's boxes, also
    "SOURCE@detector": the faces it finds, from its own square."""
    out = {}
    for source in VALIDATION_SOURCES + ("faces300w",):
        faces = [f for f in val_faces if f.source == source]
        if not faces:
            continue
        xs, ys, _ = maker.faces(faces, augment=False)
        out[source] = (to_tensor(xs), torch.from_numpy(np.stack(ys)))
        if maker.relations:
            xs, ys, _ = maker.detected_faces(faces)
            if xs:
                out[source + "@detector"] = (to_tensor(xs), torch.from_numpy(np.stack(ys)))
    return out


def face_probability(logits):
    return torch.softmax(logits, 1)[:, 1]


def run_batches(model, x, size=256):
    pts, logits = [], []
    with torch.no_grad():
        for i in range(0, len(x), size):
            a, b = model(x[i:i + size])
            pts.append(a)
            logits.append(b)
    return torch.cat(pts), torch.cat(logits)


def evaluate(model, val):
    model.eval()
    out = {}
    for name, (x, y) in val["faces"].items():
        pts, logits = run_batches(model, x)
        e95, e5 = point_errors(pts, y)
        out[name + "_e95"] = float(e95.mean())
        out[name + "_e5"] = float(e5.mean())
        out[name + "_accept"] = float((face_probability(logits) > 0.5).float().mean())
    for name, x in val["nonfaces"].items():
        _, logits = run_batches(model, x)
        out[name + "_accept"] = float((face_probability(logits) > 0.5).float().mean())
    model.train()
    return out


def score_of(errs):
    face_ok = min(errs[k] for k in ("frames68_accept", "lfw_grey_accept", "faces300w_accept") if k in errs)
    nonface = max(errs["boxes_accept"], errs["points_accept"])
    # With faces300w in the run, its derived five points count as much as frames68's.
    five = errs["frames68_e5"] + errs.get("faces300w_e5", 0.0)
    return five + max(0.0, 0.99 - face_ok) + max(0.0, nonface - 0.01)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    add_until_option(ap, "07:05")
    ap.add_argument("--lr", type=float, default=2e-3)
    ap.add_argument("--batch", type=int, default=64)
    ap.add_argument("--negatives", type=float, default=0.8, help="non-face crops per face crop")
    ap.add_argument("--checkpoint-minutes", type=float, default=4.0)
    ap.add_argument("--fresh", action="store_true", help="ignore an existing checkpoint")
    ap.add_argument("--init", help="start a fresh run from the weights of this checkpoint (.pt) "
                    "or of an exported network (.dat)")
    ap.add_argument("--frames68-copies", type=int, default=2,
                    help="times frames68 (hand-labelled, the goal's set) is shown per epoch (default 2)")
    ap.add_argument("--faces300w-copies", type=int, default=0,
                    help="also train on the faces300w training photos, shown N times per epoch "
                    "(default 0: not used); its derived five-point error then joins frames68's "
                    "in the validation score")
    ap.add_argument("--detector-boxes", type=float, default=0.0, metavar="SHARE",
                    help="share of the crops of the faces the shipped detector finds that start "
                    "from its own box instead of a jittered canonical box (default 0); the "
                    "validation then also reports SOURCE@detector")
    ap.add_argument("--five-weight", type=float, default=0.5,
                    help="weight of the derived five-point error in the loss (default 0.5)")
    ap.add_argument("--widths", choices=sorted(WIDTHS), default="standard",
                    help="layer widths of a new network (default standard; a resumed run keeps its own)")
    ap.add_argument("--members", type=int, default=1,
                    help="train N networks joined as one (their mean, as the shipped file holds "
                    "three): with --init models/cdcn95_verify_iter_50000.dat --widths wide it "
                    "fine-tunes the shipped file as a whole")
    ap.add_argument("--average-from", type=float, default=None, metavar="FRAC",
                    help="average the weights of the epochs that end after this fraction of the time "
                    "has passed; saved to runs/ninety_five[TAG]_average.pt at the end")
    ap.add_argument("--tag", default="", help="name of this run's checkpoint files: "
                    "runs/ninety_five_TAG_{last,best,average}.pt")
    ap.add_argument("--resume-at", type=float, metavar="FRAC",
                    help="when resuming a run after a pause (another machine or day): carry on at "
                    "FRAC of the learning-rate curve up to --until, instead of counting the pause "
                    "as time spent (the checkpoint records the fraction it reached)")
    ap.add_argument("--seed", type=int, default=0,
                    help="seed of a new network's initial weights (default 0); runs meant to be "
                    "averaged into one file need different seeds")
    args = ap.parse_args()
    if not 0.0 <= args.detector_boxes <= 1.0:
        ap.error("--detector-boxes: a share from 0 to 1")
    stem = os.path.join(RUNS, "ninety_five_%s_" % args.tag if args.tag else "ninety_five_")
    LAST, BEST, AVERAGE = stem + "last.pt", stem + "best.pt", stem + "average.pt"

    os.makedirs(RUNS, exist_ok=True)
    set_threads()
    torch.manual_seed(args.seed)
    rng = np.random.default_rng(int(time.time()))

    faces = samples95.load_frames68() + samples95.load_lfw_grey()
    if args.faces300w_copies > 0:
        faces += samples95.load_faces300w()
    train = [f for f in faces if not datasets.is_validation(f.group)]
    val_faces = [f for f in faces if datasets.is_validation(f.group)]
    train = train + [f for f in train if f.source == "frames68"] * (args.frames68_copies - 1)
    train = train + [f for f in train if f.source == "faces300w"] * max(0, args.faces300w_copies - 1)
    negatives = samples95.load_negatives()
    neg_train = [g for n, g in negatives if not samples95.negative_is_validation(n)]
    neg_val = [g for n, g in negatives if samples95.negative_is_validation(n)]
    print("faces: train %d (frames68 %d times), validation %d; non-face photos: train %d, validation %d"
          % (len(train), args.frames68_copies, len(val_faces), len(neg_train), len(neg_val)), flush=True)

    relations = detected_boxes.relations(faces) if args.detector_boxes > 0 else {}
    maker = samples95.CropMaker(rng, relations=relations, detector_share=args.detector_boxes)
    vmaker = samples95.CropMaker(np.random.default_rng(1), maker.five, relations)
    val = {"faces": validation_face_crops(vmaker, val_faces), "nonfaces": {}}
    val["nonfaces"]["boxes"] = to_tensor(vmaker.random_boxes(neg_val, 2000, augment=False))
    val["nonfaces"]["points"] = to_tensor(vmaker.random_points(neg_val, 1000, augment=False))
    print("validation: %s" % ", ".join("%s %d" % (k, len(v[0])) for k, v in val["faces"].items())
          + ", non-face boxes %d, points %d" % (len(val["nonfaces"]["boxes"]), len(val["nonfaces"]["points"])),
          flush=True)

    widths, members = WIDTHS[args.widths], args.members
    resume = None
    if not args.init and os.path.exists(LAST) and not args.fresh:
        resume = torch.load(LAST, map_location="cpu")
        widths, members = resume.get("widths", WIDTHS["standard"]), resume.get("members", 1)
    model = network_of(widths, members)
    opt = torch.optim.AdamW(model.parameters(), lr=args.lr, weight_decay=1e-4)
    start, end = time.time(), utc_next_at(args.until)
    epoch, step = 0, 0

    def save(path, extra=None):
        state = {"model": model.state_dict(), "optimizer": opt.state_dict(), "epoch": epoch,
                 "step": step, "best": kept.best, "start": start, "widths": widths,
                 "members": members, "frac": (time.time() - start) / max(1.0, end - start)}
        # The late epochs' mean goes on where a resumed run left it.
        state.update(kept.average.saved())
        state.update(extra or {})
        save_checkpoint(state, path)

    kept = RunValidation(lambda m: evaluate(m, val), score_of, "score", save, BEST, args.average_from)
    if args.init:
        init_weights(model, args.init)
        kept.start_from(model)
    elif resume is not None:
        model.load_state_dict(resume["model"])
        opt.load_state_dict(resume["optimizer"])
        epoch, step, kept.best, start = resume["epoch"], resume["step"], resume["best"], resume["start"]
        kept.average.resume(resume)
        if args.resume_at is not None:
            start = start_for_fraction(time.time(), end, args.resume_at)
        print("resumed from %s: epoch %d, step %d, best %.4f, at %.0f%% of the time (the checkpoint: %.0f%%), "
              "%d epochs averaged"
              % (LAST, epoch, step, kept.best, 100 * (time.time() - start) / max(1.0, end - start),
                 100 * resume.get("frac", float("nan")), kept.average.count), flush=True)

    last_save = time.time()
    done = False
    while not done:
        t0 = time.time()
        order = rng.permutation(len(train))
        xs, ys, _ = maker.faces([train[k] for k in order], augment=True)
        n_neg = int(args.negatives * len(xs))
        neg = (maker.random_boxes(neg_train, int(0.65 * n_neg)) + maker.random_points(neg_train, int(0.15 * n_neg))
               + maker.misplaced(train, int(0.2 * n_neg)))
        x = to_tensor(xs + neg)
        y = torch.zeros(len(x), 190)
        y[:len(xs)] = torch.from_numpy(np.stack(ys))
        label = torch.zeros(len(x), dtype=torch.long)
        label[:len(xs)] = 1
        perm = torch.from_numpy(rng.permutation(len(x)))
        x, y, label = x[perm], y[perm], label[perm]
        print("epoch %d: %d face + %d non-face crops made in %.1f s"
              % (epoch, len(xs), len(neg), time.time() - t0), flush=True)
        run, run_steps = np.zeros(4), 0   # the steps of this epoch since the last line
        for i in range(0, len(x) - args.batch + 1, args.batch):
            frac = (time.time() - start) / max(1.0, end - start)
            if frac >= 1.0:
                done = True
                break
            lr = learning_rate(args.lr, step, frac)
            for g in opt.param_groups:
                g["lr"] = lr
            xb, yb, lb = x[i:i + args.batch], y[i:i + args.batch], label[i:i + args.batch]
            pts, logits = model(xb)
            pos = lb == 1
            e95, e5 = point_errors(pts[pos], yb[pos])
            ce = F.cross_entropy(logits, lb)
            loss = e95.mean() + args.five_weight * e5.mean() + 0.2 * ce
            opt.zero_grad()
            loss.backward()
            opt.step()
            step += 1
            run += [float(loss), float(e95.mean()), float(e5.mean()), float(ce)]
            run_steps += 1
            if step % 50 == 0:
                run /= run_steps
                print("step %d epoch %d lr %.2e loss %.4f e95 %.4f e5 %.4f ce %.4f (%.0f%% of the time)"
                      % (step, epoch, lr, *run, 100 * frac), flush=True)
                run[:], run_steps = 0, 0
                set_threads()
            if time.time() - last_save > 60 * args.checkpoint_minutes:
                save(LAST)
                last_save = time.time()
        if not done:
            epoch += 1
        kept.after_epoch(model, epoch, frac)
        save(LAST)
        last_save = time.time()
    kept.finish(model, step, AVERAGE)


if __name__ == "__main__":
    main()
