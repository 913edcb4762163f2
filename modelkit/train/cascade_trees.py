"""Fitting of one stage of the 95-point cascade: gradient-boosted trees of
pixel differences, in the mean shape's frame that the library's prediction
(formats/cascade95.py) applies them in."""
import numpy as np

from modelkit.formats.cascade95 import (POINTS, Node, Stage, Tree, pixel_positions, project, read_pixels,
                                        reproject, similarity)


def feature_pool(mean, rng, pool, radius, layout):
    """Anchors and offsets (in the mean shape's frame) of the stage's pixels.

    "points": a random point of the shape, moved by up to `radius` each way.
    "face": uniform over the mean shape's bounding rectangle widened by
    `radius` each side, each pixel anchored to its nearest point, so that the
    pixels cover the face evenly, not the places where points crowd."""
    if layout == "points":
        return rng.integers(0, POINTS, pool), rng.uniform(-radius, radius, (pool, 2))
    low, high = mean.min(0) - radius, mean.max(0) + radius
    where = rng.uniform(low, high, (pool, 2))
    anchors = np.argmin(((where[:, None, :] - mean[None, :, :]) ** 2).sum(-1), axis=1)
    return anchors, where - mean[anchors]


class PairSampler:
    """Draws the candidate pixel pairs of a split. With pair_scale > 0 a pair
    is drawn with a weight exp(-distance / pair_scale) (distance in the mean
    shape's frame): differences of nearby pixels tell edges and shading
    apart, those of distant pixels mostly lighting and identity."""

    def __init__(self, positions, rng, pair_scale):
        self.rng, self.pool = rng, len(positions)
        self.cumulative = None
        if pair_scale > 0:
            d = np.linalg.norm(positions[:, None, :] - positions[None, :, :], axis=-1)
            w = np.exp(-d / pair_scale)
            np.fill_diagonal(w, 0.0)
            self.cumulative = np.cumsum(w.reshape(-1))

    def draw(self, count):
        if self.cumulative is None:
            return self.rng.integers(0, self.pool, count), self.rng.integers(0, self.pool, count)
        k = np.searchsorted(self.cumulative, self.rng.uniform(0.0, self.cumulative[-1], count), side="right")
        k = np.minimum(k, self.pool * self.pool - 1)
        return k // self.pool, k % self.pool


def fit_stage(samples, mean, rng, trees=100, depth=4, pool=400, candidates=20, shrink=0.1, radius=0.12,
              point_weights=None, pool_layout="points", pair_scale=0.0):
    """One stage of gradient-boosted pixel-difference trees.

    samples: list of (grey, current (95, 2) frame shape, target (95, 2) frame
    shape, box). point_weights: (95,) weights of the points' residuals when
    a split is chosen (default all 1); the leaves still hold every point's
    plain mean. pool_layout and pair_scale: see feature_pool and
    PairSampler. Returns (Stage, new current shapes)."""
    n = len(samples)
    mean = np.asarray(mean, np.float64)
    anchors, offsets = feature_pool(mean, rng, pool, radius, pool_layout)
    pairs = PairSampler(mean[anchors] + offsets, rng, pair_scale)
    values = np.empty((n, pool), np.float32)
    resid = np.empty((n, 2 * POINTS), np.float64)
    frames = []
    for k, (grey, cur, target, box) in enumerate(samples):
        u = project(cur, box)
        r, s = similarity(u, mean)
        px, py = pixel_positions(np.asarray(cur, np.float32), box, r, s, anchors, offsets)
        values[k] = read_pixels(grey, px, py)
        # Residual in the mean shape's frame: D = R^T (t - u) / s.
        resid[k] = ((project(target, box) - u) @ r / s).reshape(-1)
        frames.append((u, r, s))
    dim_weights = np.repeat(np.ones(POINTS) if point_weights is None else np.asarray(point_weights, np.float64), 2)
    leaves_per_tree = 2 ** depth
    table = []
    out_trees = []
    pred = np.zeros_like(resid)
    for _ in range(trees):
        target = resid - pred
        nodes = [Node() for _ in range(2 ** (depth + 1) - 1)]
        member = np.zeros(n, np.int64)  # node index within the level, heap order
        for level in range(depth):
            first = 2 ** level - 1
            new_member = member.copy()
            for j in range(2 ** level):
                idx = np.nonzero(member == j)[0]
                node = nodes[first + j]
                a, b = pairs.draw(candidates)
                diffs = values[idx][:, a] - values[idx][:, b]  # (m, candidates)
                if len(idx) > 1:
                    pick = rng.integers(0, len(idx), candidates)
                    thr = diffs[pick, np.arange(candidates)] + 0.5
                else:
                    thr = np.zeros(candidates)
                left = diffs < thr  # threshold > diff goes left
                total = target[idx].sum(0)
                lsum = left.T.astype(np.float64) @ target[idx]
                nl = left.sum(0)
                nr = len(idx) - nl
                rsum = total - lsum
                gain = ((lsum ** 2) @ dim_weights / np.maximum(nl, 1) + (rsum ** 2) @ dim_weights / np.maximum(nr, 1))
                best = int(np.argmax(gain))
                node.la, node.lb = int(anchors[a[best]]), int(anchors[b[best]])
                node.oa = tuple(float(v) for v in offsets[a[best]])
                node.ob = tuple(float(v) for v in offsets[b[best]])
                node.threshold = float(thr[best])
                node.left, node.right = 2 * (first + j) + 1, 2 * (first + j) + 2
                go_left = left[:, best] if len(idx) else np.zeros(0, bool)
                new_member[idx] = 2 * j + np.where(go_left, 0, 1)
            member = new_member
        first_leaf = 2 ** depth - 1
        rows = np.zeros((leaves_per_tree, 2 * POINTS))
        for j in range(leaves_per_tree):
            nodes[first_leaf + j].leaf = j
            idx = member == j
            if idx.any():
                rows[j] = shrink * target[idx].mean(0)
        pred += rows[member]
        table.append(rows)
        out_trees.append(Tree(nodes, leaves_per_tree, depth))
    stage = Stage(out_trees, np.concatenate(table).astype(np.float32))
    # pred holds every sample's summed leaf votes (the walk made the fit).
    new = []
    for k, (grey, cur, target, box) in enumerate(samples):
        u, r, s = frames[k]
        new.append(reproject(u + s * pred[k].reshape(POINTS, 2) @ r.T, box))
    return stage, new
