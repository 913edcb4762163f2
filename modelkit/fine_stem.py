"""Starts an s8f detector (two 3x3/2 first convolutions) from a trained s8
one (one 4x4/4): every layer from c2 on is copied, and the new pair is
taught to give what the 4x4/4 convolution gave (squared difference of the
relu outputs, on training scenes and face-free photos). A fine-tune of the
whole network (train_detector.py --fresh --init OUT) then starts from the
s8 detector's detections instead of from scratch.

  /usr/bin/python3 modelkit/fine_stem.py --init modelkit/runs/detector_glassmean.pt \\
      --out modelkit/runs/detector_s8f_start.pt --minutes 10

The pair's cells are centred 1.5 px from the 4x4/4 cells, but their 7 x 7
pixel view holds the 4 x 4 block, so the copy can be close. Printed: the
squared difference relative to the target's variance.
"""
import argparse
import math
import time

import cv2
import numpy as np
import torch
import torch.nn.functional as F

import detector_net as dn
import detector_scenes as ds
from training_clock import save_checkpoint


def s8f_from(source):
    """An s8f Detector with source's layers from c2 on (its stem untrained)."""
    if source.layout != "s8":
        raise SystemExit("the source detector is %s; the fine stem replaces the first convolution of s8"
                         % source.layout)
    det = dn.Detector("s8f", source.head_name)
    mine = det.state_dict()   # every name but the stem's is s8's too
    mine.update({k: v for k, v in source.state_dict().items() if k in mine})
    det.load_state_dict(mine)
    return det


def batch(maker, negatives, rng, size, count):
    imgs = []
    for i in range(count):
        if i % 2:
            img, _ = maker.scene()
        else:
            g = negatives[rng.integers(len(negatives))]
            y = rng.integers(0, max(1, g.shape[0] - size + 1))
            x = rng.integers(0, max(1, g.shape[1] - size + 1))
            g = cv2.resize(np.ascontiguousarray(g[y:y + size, x:x + size]), (size, size))
            img = cv2.cvtColor(g, cv2.COLOR_GRAY2BGR)
        imgs.append(ds.network_input(img))
    return torch.from_numpy(np.stack(imgs)) * dn.INPUT_SCALE


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--init", required=True, help="s8 detector: training checkpoint (.pt) or exported file (.dat)")
    ap.add_argument("--out", required=True, help="checkpoint of the s8f detector (.pt)")
    ap.add_argument("--minutes", type=float, default=10.0)
    ap.add_argument("--lr", type=float, default=2e-3)
    ap.add_argument("--threads", type=int, default=2)
    args = ap.parse_args()
    torch.set_num_threads(args.threads)
    cv2.setNumThreads(1)

    source = dn.load_weights(args.init)
    det = s8f_from(source)
    rng = np.random.default_rng(3)
    negatives = ds.load_negatives()
    maker = ds.SceneMaker(ds.load_face_photos(), negatives, 256, seed=3, anti_alias=True)
    params = [p for c in det.backbone.stem() for p in c.parameters()]
    opt = torch.optim.Adam(params, lr=args.lr)
    start, step, err = time.time(), 0, []
    end = start + 60 * args.minutes
    while time.time() < end:
        frac = (time.time() - start) / (end - start)
        for g in opt.param_groups:
            g["lr"] = args.lr * 0.5 * (1 + math.cos(math.pi * min(1.0, frac)))
        x = batch(maker, negatives, rng, 256, 8)
        with torch.no_grad():
            target = source.backbone.stem_output(x)
        out = det.backbone.stem_output(x)
        loss = F.mse_loss(out, target)
        opt.zero_grad()
        loss.backward()
        opt.step()
        step += 1
        err.append(float(loss) / float(target.var()))
        if step % 100 == 0:
            print("step %d relative squared difference %.4f" % (step, np.mean(err)), flush=True)
            err = []
    save_checkpoint(dn.checkpoint_of(det.eval(), stem_from=args.init, steps=step), args.out)
    print("wrote %s after %d steps" % (args.out, step), flush=True)


if __name__ == "__main__":
    main()
