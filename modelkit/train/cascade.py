"""Makes the 95-point regression cascade file "model95_tern.bin".

  /usr/bin/python3 -m modelkit train cascade --zero [--out models/model95_tern.bin]
  /usr/bin/python3 -m modelkit train cascade [--stages 2 --trees 120 --depth 4]
        [--out modelkit/runs/model95_trained.bin]

--zero writes a file without stages (the library then keeps the network's
shape) with the mean training shape. Otherwise the cascade is trained on the
95-point network's own shapes: modelkit/cpp/eval_ninety_five runs the
library's path (canonical box, also jittered -> alignFivePoints ->
alignNinetyFivePoints with a zero-stage cascade) on the training faces of
frames68 and lfw_grey (--sources picks, faces300w and wider68 among them;
--frames68-jitters and --faces300w-jitters weigh a source more, and
--mirror-faces300w adds every faces300w photo flipped; --detector-boxes adds
the box the shipped detector gives each face, data/detected_boxes.py); each
stage is a set of gradient-boosted pixel-difference trees
(cascade_trees.fit_stage) fitted to the remaining distance to the labels. Compare it with the zero-stage file through
evaluate/ninety_five.py before shipping it.
"""
import argparse
import os
import tempfile
import time

import cv2
import numpy as np

from modelkit.data import datasets, detected_boxes, layout95, samples95
from modelkit.data.face_box import canonical_face_box, five_from_68, jittered_square
from modelkit.evaluate import ninety_five as eval_ninety_five
from modelkit.formats import cascade95
from modelkit.train import cascade_trees


LOADERS = {"frames68": samples95.load_frames68, "lfw_grey": samples95.load_lfw_grey,
           "faces300w": samples95.load_faces300w, "wider68": samples95.load_wider68}


def training_faces(sources):
    faces = [f for s in sources for f in LOADERS[s]()]
    return [f for f in faces if not datasets.is_validation(f.group)]


def mean_shape(faces):
    us = []
    for f in faces:
        t = layout95.from68(f.p68)
        us.append(cascade95.project(t, cascade95.shape_box(t)))
    return np.mean(us, 0)


def mirrored_pictures(pictures, folder):
    """The pictures flipped left to right, written into `folder`, with their
    68 points renumbered so that each keeps its meaning, and the detector's
    relation (if any) mirrored too."""
    out = []
    for n, (path, p68, source, relation) in enumerate(pictures):
        # As stored (colour), in a lossless file: the library sees the same
        # pixels, flipped.
        picture = cv2.imread(path, cv2.IMREAD_UNCHANGED)
        if picture is None:
            continue
        flipped = os.path.join(folder, "mirror%05d.png" % n)
        cv2.imwrite(flipped, cv2.flip(picture, 1))
        if relation is not None:
            relation = (-relation[0], relation[1], relation[2])
        out.append((flipped, layout95.mirror68(p68, picture.shape[1]), source, relation))
    return out


def per_stage_values(text):
    try:
        values = [float(v) for v in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError("numbers separated by commas: %r" % text)
    if any(v <= 0 for v in values):
        raise argparse.ArgumentTypeError("positive numbers: %r" % text)
    return values


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--zero", action="store_true")
    ap.add_argument("--out", default=None)
    ap.add_argument("--net", default=os.path.join(eval_ninety_five.MODELS, "cdcn95_verify_iter_50000.dat"))
    ap.add_argument("--five", default=os.path.join(eval_ninety_five.MODELS, "cdcn_iter_500000.dat"))
    ap.add_argument("--stages", type=int, default=2)
    ap.add_argument("--trees", type=int, default=120)
    ap.add_argument("--depth", type=int, default=4)
    ap.add_argument("--shrink", type=float, default=0.1)
    ap.add_argument("--radius", type=per_stage_values, default=[0.12],
                    help="how far the pixels lie from the points (in ShapeBox half-sides): one value, "
                    "or one per stage separated by commas (the last repeats); default 0.12")
    ap.add_argument("--pixel-pool", choices=("points", "face"), default="points",
                    help="where a stage's 400 pixels lie: around random points of the shape "
                    "(default), or evenly over the face, each anchored to its nearest point")
    ap.add_argument("--pair-scale", type=float, default=0.0,
                    help="draw the pixel pairs of a split with weight exp(-distance / SCALE), "
                    "favouring nearby pixels (default 0: every pair alike)")
    ap.add_argument("--jitter", type=float, default=0.08)
    ap.add_argument("--sources", nargs="+", choices=sorted(LOADERS), default=["frames68", "lfw_grey"],
                    help="training faces (default frames68 and lfw_grey)")
    ap.add_argument("--frames68-jitters", type=int, default=1, metavar="N",
                    help="jittered boxes per frames68 face besides its canonical box (default 1, as for "
                    "the other faces); more weighs the hand-labelled faces more")
    ap.add_argument("--faces300w-jitters", type=int, default=1, metavar="N",
                    help="jittered boxes per faces300w face besides its canonical box (default 1): the "
                    "network's shapes from several boxes teach the trees more of the in-the-wild errors")
    ap.add_argument("--mirror-faces300w", action="store_true",
                    help="also every faces300w training photo flipped left to right, its points renumbered")
    ap.add_argument("--detector-boxes", action="store_true",
                    help="also every face on the box the shipped detector gives it (where it finds it): "
                    "the network's shapes the library starts the cascade from on detected faces")
    ap.add_argument("--five-point-weight", type=float, default=1.0, metavar="W",
                    help="weight of the eight points the library derives the five points from (eye corners, "
                    "nose, mouth corners) when a split is chosen; the other points weigh 1 (default 1)")
    ap.add_argument("--limit", type=int, default=0, help="use only this many faces (a quick trial)")
    args = ap.parse_args()

    faces = training_faces(args.sources)
    if args.limit:
        faces = [faces[i] for i in np.random.default_rng(0).permutation(len(faces))[:args.limit]]
    mean = mean_shape(faces)
    if args.zero:
        out = args.out or os.path.join(eval_ninety_five.MODELS, "model95_tern.bin")
        cascade95.write(cascade95.Cascade(mean), out)
        print("wrote %s: no stages, mean shape of %d training faces" % (out, len(faces)))
        return

    out = args.out or os.path.join(datasets.RUNS, "model95_trained.bin")
    rng = np.random.default_rng(0)
    jitters = {"frames68": args.frames68_jitters, "faces300w": args.faces300w_jitters}
    with tempfile.TemporaryDirectory() as tmp:
        zero = os.path.join(tmp, "zero.bin")
        cascade95.write(cascade95.Cascade(mean), zero)
        relations = detected_boxes.relations(faces) if args.detector_boxes else {}
        pictures = [(datasets.photo_path(f), f.p68 + np.asarray(f.offset, np.float64), f.source,
                     relations.get((f.source, f.name))) for f in faces]
        if args.mirror_faces300w:
            pictures += mirrored_pictures([p for p in pictures if p[2] == "faces300w"], tmp)
        lines, owners = [], []
        for k, (path, p68, source, relation) in enumerate(pictures):
            box = canonical_face_box(p68)
            boxes = [box] + [jittered_square(box, rng, args.jitter) for _ in range(jitters.get(source, 1))]
            if relation is not None:
                boxes.append(detected_boxes.box_before_enlargement(five_from_68(p68), relation))
            for b in boxes:
                lines.append("%s %d %d %d %d" % (path, *b))
                owners.append(k)
        t0 = time.time()
        ns = argparse.Namespace(net=args.net, five=args.five, cascade=zero)
        status, _, _, shapes, _, _ = eval_ninety_five.run(ns, lines)
        print("network shapes of %d crops in %.0f s" % (len(lines), time.time() - t0), flush=True)

        photos = {}
        samples = []
        for j, k in enumerate(owners):
            if status[j] != 0:
                continue
            path, p68 = pictures[k][:2]
            if path not in photos:
                photos[path] = cv2.imread(path, cv2.IMREAD_GRAYSCALE)
            target = layout95.from68(p68)
            cur = shapes[j].astype(np.float32)
            samples.append((photos[path], cur, target, cascade95.shape_box(cur)))

    def error(curs):
        e = []
        for (_, _, t, _), c in zip(samples, curs):
            five = layout95.five_points(t)
            e.append(np.linalg.norm(np.asarray(c) - t, axis=1).mean() / np.linalg.norm(five[1] - five[0]))
        return float(np.mean(e))

    point_weights = np.ones(cascade95.POINTS)
    point_weights[list(layout95.FIVE_POINT_SOURCES)] = args.five_point_weight
    curs = [s[1] for s in samples]
    print("training error before the cascade: %.4f" % error(curs), flush=True)
    stages = []
    for n in range(args.stages):
        t0 = time.time()
        stage, curs = cascade_trees.fit_stage([(g, c, t, b) for (g, _, t, b), c in zip(samples, curs)], mean, rng,
                                          trees=args.trees, depth=args.depth, shrink=args.shrink,
                                          radius=args.radius[min(n, len(args.radius) - 1)],
                                          point_weights=point_weights, pool_layout=args.pixel_pool,
                                          pair_scale=args.pair_scale)
        stages.append(stage)
        print("stage %d: training error %.4f (%.0f s)" % (n, error(curs), time.time() - t0), flush=True)
        cascade95.write(cascade95.Cascade(mean, stages), out)
    print("wrote %s: %d stages" % (out, len(stages)))


if __name__ == "__main__":
    main()
