"""The 95-point regression cascade ("model95_tern.bin"): file writer and
reader, and the library's prediction in numpy (align/shape_regression.cpp).
The trees are fitted by train/cascade_trees.py.

File (little-endian, every field 4 bytes): stage count, point count, mean
shape (x, y per point); per stage: tree count, per tree: node count, leaf
count, depth, then per node: offset_a x, y, landmark_a, offset_b x, y,
landmark_b, threshold, flag, left, right, leaf; then the stage's table: leaf
rows, a spare value, point count, leaf rows x 2 x points floats.

Coordinates: a shape is normalised by its ShapeBox (side 3 d around the
point 0.5 d below the eye centre, d = eye centre to mouth centre, from the
network's shape): u = (x - cx) / (w / 2). At each stage the library fits a
similarity (R, s) from the mean shape to the current normalised shape;
feature offsets are turned by R and scaled by s, and the leaf increments are
in the mean shape's frame: increment = s R D.
"""
import struct

import numpy as np

POINTS = 95


class Node:
    def __init__(self, leaf=-1):
        self.la = self.lb = 0
        self.oa = (0.0, 0.0)
        self.ob = (0.0, 0.0)
        self.threshold = 0.0
        self.left = self.right = 0
        self.leaf = leaf


class Tree:
    def __init__(self, nodes, leaf_count, depth):
        self.nodes, self.leaf_count, self.depth = nodes, leaf_count, depth


class Stage:
    def __init__(self, trees, table):
        self.trees = trees
        self.table = np.asarray(table, np.float32)  # (leaf rows, 2 * points)


class Cascade:
    def __init__(self, mean_shape, stages=()):
        self.mean = np.asarray(mean_shape, np.float32).reshape(POINTS, 2)
        self.stages = list(stages)


def write(cascade, path):
    out = [struct.pack("<ii", len(cascade.stages), POINTS), cascade.mean.astype("<f4").tobytes()]
    for st in cascade.stages:
        out.append(struct.pack("<i", len(st.trees)))
        for tr in st.trees:
            out.append(struct.pack("<iii", len(tr.nodes), tr.leaf_count, tr.depth))
            for n in tr.nodes:
                out.append(struct.pack("<ffiffifiiii", n.oa[0], n.oa[1], n.la, n.ob[0], n.ob[1], n.lb,
                                       n.threshold, 0, n.left, n.right, n.leaf))
        out.append(struct.pack("<iii", st.table.shape[0], 0, POINTS))
        out.append(st.table.astype("<f4").tobytes())
    with open(path, "wb") as f:
        f.write(b"".join(out))


def read(path):
    data = open(path, "rb").read()
    pos = 0

    def take(fmt):
        nonlocal pos
        v = struct.unpack_from(fmt, data, pos)
        pos += struct.calcsize(fmt)
        return v

    n_stages, points = take("<ii")
    assert points == POINTS
    mean = np.array(take("<%df" % (2 * points)), np.float32).reshape(points, 2)
    stages = []
    for _ in range(n_stages):
        (n_trees,) = take("<i")
        trees = []
        for _ in range(n_trees):
            n_nodes, leaf_count, depth = take("<iii")
            nodes = []
            for _ in range(n_nodes):
                ax, ay, la, bx, by, lb, thr, _flag, left, right, leaf = take("<ffiffifiiii")
                n = Node(leaf)
                n.oa, n.la, n.ob, n.lb, n.threshold, n.left, n.right = (ax, ay), la, (bx, by), lb, thr, left, right
                nodes.append(n)
            trees.append(Tree(nodes, leaf_count, depth))
        rows, _spare, width = take("<iii")
        table = np.array(take("<%df" % (rows * 2 * width)), np.float32).reshape(rows, 2 * width)
        stages.append(Stage(trees, table))
    return Cascade(mean, stages)


# ---- the library's geometry -------------------------------------------------

def shape_box(shape):
    """(x, y, w, h, cx, cy) of a 95-point shape in frame pixels."""
    s = np.asarray(shape, np.float32)
    eyes = (s[39] + s[45] + s[51] + s[57]) * np.float32(0.25)
    mouth = (s[87] + s[91]) * np.float32(0.5)
    d = np.float32(np.linalg.norm(mouth - eyes))
    x, y = eyes[0] - 1.5 * d, eyes[1] - d
    return np.array([x, y, 3 * d, 3 * d, x + 1.5 * d, y + 1.5 * d], np.float64)


def project(shape, box):
    return (np.asarray(shape, np.float64) - box[4:6]) / (box[2:4] / 2)


def reproject(u, box):
    return np.asarray(u, np.float64) * (box[2:4] / 2) + box[4:6]


def similarity(a, b):
    """(R, s) as the library computes them for current shape a, mean shape b."""
    ta, tb = a - a.mean(0), b - b.mean(0)

    def spread(t):
        m = t.mean(1, keepdims=True)
        d = t - m
        c00, c01, c11 = (d[:, 0] ** 2).sum(), (d[:, 0] * d[:, 1]).sum(), (d[:, 1] ** 2).sum()
        return np.sqrt(np.sqrt(c00 * c00 + 2 * c01 * c01 + c11 * c11))

    sa, sb = spread(ta), spread(tb)
    ta, tb = ta / sa, tb / sb
    num = (ta[:, 1] * tb[:, 0] - ta[:, 0] * tb[:, 1]).sum()
    den = (ta[:, 0] * tb[:, 0] + ta[:, 1] * tb[:, 1]).sum()
    n = np.hypot(num, den)
    c, sn = den / n, num / n
    return np.array([[c, -sn], [sn, c]]), sa / sb


def pixel_positions(shape, box, r, s, landmarks, offsets):
    """Frame pixel (x, y) integer positions of features (landmark, offset)."""
    rx, ry = box[2] * 0.5 * s, box[3] * 0.5 * s
    off = offsets @ r.T
    px = shape[landmarks, 0] + rx * off[:, 0]
    py = shape[landmarks, 1] + ry * off[:, 1]
    return np.trunc(px), np.trunc(py)


def read_pixels(grey, px, py):
    x = np.clip(np.nan_to_num(px, nan=0.0), 0, grey.shape[1] - 1).astype(np.int64)
    y = np.clip(np.nan_to_num(py, nan=0.0), 0, grey.shape[0] - 1).astype(np.int64)
    return grey[y, x].astype(np.int32)


def predict(cascade, grey, shape):
    """The library's predictShape for one face (numpy, float64)."""
    s_cur = np.asarray(shape, np.float64).copy()
    box = shape_box(shape)
    for st in cascade.stages[:4]:
        u = project(s_cur, box)
        r, s = similarity(u, cascade.mean.astype(np.float64))
        acc = np.zeros(2 * POINTS)
        base = 0
        for tr in st.trees:
            i = 0
            while True:
                n = tr.nodes[i]
                pax, pay = pixel_positions(s_cur, box, r, s, np.array([n.la]), np.array([n.oa]))
                pbx, pby = pixel_positions(s_cur, box, r, s, np.array([n.lb]), np.array([n.ob]))
                diff = int(read_pixels(grey, pax, pay)[0]) - int(read_pixels(grey, pbx, pby)[0])
                i = n.left if n.threshold > diff else n.right
                if tr.nodes[i].leaf >= 0:
                    acc += st.table[base + tr.nodes[i].leaf]
                    break
            base += tr.leaf_count
        d = acc.reshape(POINTS, 2)
        s_cur = reproject(u + s * d @ r.T, box)
    return s_cur
