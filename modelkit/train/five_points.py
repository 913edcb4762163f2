"""Trains the five-point landmark network.

  nohup /usr/bin/python3 -m modelkit train five-points --until 04:38 \
      > modelkit/runs/five_points.log 2>&1 &

Reads mtfl5, frames68 and lfw_grey (see data/datasets.py; with
--faces300w-copies N also faces300w, shown N times per epoch; with
--wider68-copies N the WIDER training faces dlib's predictor labels,
data/wider68.py), holds out every tenth person / identity (faces300w: about
15 % of its photos), and trains on augmented crops cut the library's way
(data/crops.py). The learning rate follows a cosine over the wall-clock time left
until --until (UTC), so a run ends on time whatever the machine's speed.
Progress goes to standard output; runs/five_points_last.pt is written every
few minutes and at the end of every epoch, runs/five_points_best.pt whenever
the validation error (the worse of mtfl5 and frames68) improves. A run started
again picks up runs/five_points_last.pt (with the late epochs' mean so far).
With --average-from, the mean of the weights of the late epochs is saved to
runs/five_points_average.pt at the end.

With --detector-boxes SHARE, that share of the crops of every face the
shipped detector finds is cut from the detector's own box (data/
detected_boxes.py) instead of a randomly jittered canonical box: the detector
frames a turned or tilted face in its own way, and the network learns the
boxes it will get. The validation then also scores every source on the
detector's boxes ("SOURCE@detector"), and the best checkpoint is the lowest
sum of the target sources' errors on both kinds of box.

Threads: the number in runs/threads when that file exists (read again while
the run goes on), else 1.
"""
import argparse
import os
import time

import numpy as np
import torch

from modelkit.data import crops, datasets, detected_boxes
from modelkit.nets.five_point_net import WIDTHS, five_point_net, load_network, widened, widths_of
from modelkit.train.epoch_validation import RunValidation, learning_rate
from modelkit.train.clock import (add_until_option, apply_threads, save_checkpoint,
                                  start_for_fraction, threads_from_file, utc_next_at)

RUNS = datasets.RUNS
LAST = os.path.join(RUNS, "five_points_last.pt")
BEST = os.path.join(RUNS, "five_points_best.pt")
AVERAGE = os.path.join(RUNS, "five_points_average.pt")
SOURCES = ["mtfl5", "frames68", "lfw_grey"]
TARGET_SOURCES = ["mtfl5", "frames68"]


def set_threads():
    apply_threads(threads_from_file(os.path.join(RUNS, "threads"), 1))


def normalised_error(pred, target):
    """Per face: mean point distance / distance between the two eyes (both
    in crop units)."""
    p, t = pred.view(-1, 5, 2), target.view(-1, 5, 2)
    iod = (t[:, 1] - t[:, 0]).norm(dim=1).clamp_min(1e-3)
    dist = ((p - t).pow(2).sum(2) + 1e-8).sqrt()
    return dist.mean(1) / iod


def clean_set(faces, relations=None):
    """Crops and targets of the faces on their canonical boxes, or with
    relations on the detector's boxes (the faces it finds)."""
    if relations is None:
        pairs = [crops.clean_sample(f.grey, f.points) for f in faces]
    else:
        pairs = [crops.detected_sample(f.grey, f.points, relations[(f.source, f.name)])
                 for f in faces if (f.source, f.name) in relations]
    x = np.stack([c for c, _ in pairs])
    y = np.stack([t for _, t in pairs])
    return torch.from_numpy(x).float().unsqueeze(1), torch.from_numpy(y.reshape(-1, 10))


def evaluate(model, sets):
    model.eval()
    out = {}
    with torch.no_grad():
        for name, (x, y) in sets.items():
            errs = torch.cat([normalised_error(model(x[i:i + 256]), y[i:i + 256])
                              for i in range(0, len(x), 256)])
            out[name] = float(errs.mean())
    model.train()
    return out


def augmented_epoch(faces, aug, rng, relations):
    order = rng.permutation(len(faces))
    xs = np.empty((len(faces), crops.CROP, crops.CROP), np.uint8)
    ys = np.empty((len(faces), 10), np.float32)
    for j, k in enumerate(order):
        f = faces[k]
        # The MTFL annotations' pixel-centre convention is unknown; mirroring
        # them could shift their points by a fraction of a pixel, so only the
        # sources with whole-pixel-centred points are mirrored.
        crop, target = aug.sample(f.grey, f.points, allow_mirror=f.source != "mtfl5",
                                  relation=relations.get((f.source, f.name)))
        xs[j], ys[j] = crop, target.reshape(10)
    return torch.from_numpy(xs).float().unsqueeze(1), torch.from_numpy(ys)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    add_until_option(ap, "04:38")
    ap.add_argument("--lr", type=float, default=2e-3)
    ap.add_argument("--batch", type=int, default=64)
    ap.add_argument("--checkpoint-minutes", type=float, default=4.0)
    ap.add_argument("--fresh", action="store_true", help="ignore an existing checkpoint")
    ap.add_argument("--init", help="start a fresh run from the weights of this checkpoint (.pt) "
                    "or of an exported network (.dat)")
    ap.add_argument("--average-from", type=float, default=None, metavar="FRAC",
                    help="also keep the mean of the weights at every epoch end once FRAC of the time "
                    "has passed; saved to runs/five_points_average.pt at the end")
    ap.add_argument("--frames68-copies", type=int, default=2,
                    help="times frames68 is shown per epoch (default 2)")
    ap.add_argument("--resume-at", type=float, metavar="FRAC",
                    help="when resuming runs/five_points_last.pt after a pause (another machine or "
                    "day): carry on at FRAC of the learning-rate curve up to --until, instead of "
                    "counting the pause as time spent")
    ap.add_argument("--faces300w-copies", type=int, default=0,
                    help="also train on the faces300w training photos, shown N times per epoch "
                    "(default 0: not used); the best checkpoint is then the lowest sum of the "
                    "mtfl5, frames68 and faces300w validation errors")
    ap.add_argument("--wider68-copies", type=int, default=0,
                    help="also train on the WIDER training faces that dlib's predictor labels "
                    "(data/wider68.py), shown N times per epoch (default 0: not used); validated "
                    "but not part of the score")
    ap.add_argument("--detector-boxes", type=float, default=0.0, metavar="SHARE",
                    help="share of the crops cut from the shipped detector's own box where it finds "
                    "the face (default 0: jittered canonical boxes only)")
    ap.add_argument("--widths", choices=sorted(WIDTHS), default="standard",
                    help="layer widths of a new network (default standard; a resumed run keeps its "
                    "own); with --init of a narrower file the network is grown from it, its new "
                    "units silent at the start")
    ap.add_argument("--seed", type=int, default=0,
                    help="seed of a new network's initial weights (default 0), also mixed into "
                    "the augmentation's clock-based seed; runs meant to be averaged into one file "
                    "need different seeds")
    args = ap.parse_args()
    if not 0.0 <= args.detector_boxes <= 1.0:
        ap.error("--detector-boxes: a share from 0 to 1")
    sources = SOURCES + (["faces300w"] if args.faces300w_copies > 0 else [])
    sources += ["wider68"] if args.wider68_copies > 0 else []
    targets = TARGET_SOURCES + (["faces300w"] if args.faces300w_copies > 0 else [])

    os.makedirs(RUNS, exist_ok=True)
    set_threads()
    torch.manual_seed(args.seed)
    rng = np.random.default_rng(int(time.time()) + 1000003 * args.seed)

    faces = datasets.load_sources(sources)
    train, val = datasets.split(faces)
    # frames68 is the smallest source and the one whose point definitions
    # differ most from the others: it is shown more than once per epoch.
    train = train + [f for f in train if f.source == "frames68"] * (args.frames68_copies - 1)
    # The 1,000 faces300w training faces are few beside the 15,000 others:
    # weighed up by showing them several times (each time augmented anew).
    train = train + [f for f in train if f.source == "faces300w"] * max(0, args.faces300w_copies - 1)
    train = train + [f for f in train if f.source == "wider68"] * max(0, args.wider68_copies - 1)
    print("train %d faces, validation %d" % (len(train), len(val)), flush=True)
    val_sets = {s: clean_set([f for f in val if f.source == s]) for s in sources}
    relations = {}
    if args.detector_boxes > 0:
        relations = detected_boxes.relations(faces)
        for s in sources:
            val_sets[s + "@detector"] = clean_set([f for f in val if f.source == s], relations)
        targets = targets + [s + "@detector" for s in targets]
    for s, (x, _) in val_sets.items():
        print("validation %s: %d faces" % (s, len(x)), flush=True)

    resume = None
    if not args.init and os.path.exists(LAST) and not args.fresh:
        resume = torch.load(LAST, map_location="cpu")
    widths = resume.get("widths", WIDTHS["standard"]) if resume else WIDTHS[args.widths]
    if args.init:
        model = load_network(args.init)
        print("weights from %s" % args.init, flush=True)
        if widths_of(model) != tuple(widths):
            model = widened(model, widths)
            print("grown to widths %s, the new units silent" % (widths,), flush=True)
    else:
        model = five_point_net(widths)
    opt = torch.optim.AdamW(model.parameters(), lr=args.lr, weight_decay=1e-4)
    start, end = time.time(), utc_next_at(args.until)
    epoch, step = 0, 0

    def save(path, extra=None):
        state = {"model": model.state_dict(), "optimizer": opt.state_dict(), "epoch": epoch,
                 "step": step, "best": kept.best, "start": start, "sources": sources,
                 "widths": tuple(widths)}
        # The late epochs' mean goes on where a resumed run left it.
        state.update(kept.average.saved())
        state.update(extra or {})
        save_checkpoint(state, path)

    # Every target source must meet the goal, so the worst one decides; with
    # faces300w (whose goal is lower than the others') or the detector's boxes
    # their sum does.
    if args.faces300w_copies > 0 or args.detector_boxes > 0:
        score, score_name = (lambda errs: sum(errs[s] for s in targets)), "sum of targets"
    else:
        score, score_name = (lambda errs: max(errs[s] for s in targets)), "worst target"
    kept = RunValidation(lambda m: evaluate(m, val_sets), score, score_name, save, BEST, args.average_from)
    if args.init:
        kept.start_from(model)
    elif resume is not None:
        state = resume
        model.load_state_dict(state["model"])
        opt.load_state_dict(state["optimizer"])
        epoch, step, kept.best, start = state["epoch"], state["step"], state["best"], state["start"]
        kept.average.resume(state)
        if args.resume_at is not None:
            start = start_for_fraction(time.time(), end, args.resume_at)
        print("resumed from %s: epoch %d, step %d, best %.4f, at %.0f%% of the time, %d epochs averaged"
              % (LAST, epoch, step, kept.best, 100 * (time.time() - start) / max(1.0, end - start),
                 kept.average.count), flush=True)

    aug = crops.Augmenter(rng, detector_share=args.detector_boxes)
    last_save = time.time()
    done = False
    while not done:
        t0 = time.time()
        x, y = augmented_epoch(train, aug, rng, relations)
        print("epoch %d: %d crops made in %.1f s" % (epoch, len(x), time.time() - t0), flush=True)
        run_loss, run_n = 0.0, 0
        for i in range(0, len(x) - args.batch + 1, args.batch):
            frac = (time.time() - start) / max(1.0, end - start)
            if frac >= 1.0:
                done = True
                break
            lr = learning_rate(args.lr, step, frac)
            for g in opt.param_groups:
                g["lr"] = lr
            loss = normalised_error(model(x[i:i + args.batch]), y[i:i + args.batch]).mean()
            opt.zero_grad()
            loss.backward()
            opt.step()
            step += 1
            run_loss += float(loss)
            run_n += 1
            if step % 50 == 0:
                print("step %d epoch %d lr %.2e train %.4f (%.0f%% of the time)"
                      % (step, epoch, lr, run_loss / run_n, 100 * frac), flush=True)
                run_loss, run_n = 0.0, 0
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
