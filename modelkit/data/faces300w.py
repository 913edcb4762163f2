"""faces300w: hand-labelled faces in the wild (300-W: the HELEN training part
and AFW), each cut square around its face at 192 x 192, colour, with 68
hand-placed points (points.csv: name,x0,y0,...,x67,y67 in the cut's pixels).

Terms: the 300-W annotations are for non-commercial research only; a model
trained on them says so in its card.

Photo identity. A file is named SET_PHOTO_K.jpg ("afw_1130084326_2.jpg" is the
second face of AFW photo 1130084326, "helen_100032540_1.jpg" the first of a
HELEN photo). Faces of one photo share lighting, camera and sometimes the
person, so the hold-out is made by photo: the group is "300w:SET_PHOTO".

Validation hold-out: about 15 % of the photos, those with
crc32(group) % 20 < 3 (data/datasets.is_validation dispatches on the "300w:"
prefix); the other sources keep their 10 % rule.

Pixel origin. The original annotations count pixels from 1, and the cut was
scaled by a factor that differs per face and is not stored (every cut makes
the points' extent 96 px), so the exact 0-based correction is unknown per
face. FIRST_PIXEL is the one correction taken for all: on the 931 training
faces dlib's predictor (which puts pixel x's centre at x) finds, the labels
as written sit a median x +0.61, y +0.19 px from dlib's points
(`evaluate photos --split train --offsets` with FIRST_PIXEL 0); 0.4 is the
mean of the two. dlib's predictor was itself trained on 300-W labels, so it
knows their convention, though not any single face's offset.
"""
import csv
import os
import zlib

import numpy as np

from modelkit.data import datasets
from modelkit.data.face_box import five_from_68

SOURCE = "faces300w"
GROUP_PREFIX = "300w:"
# Hold-out share of photos: crc32 % VALIDATION_MODULUS < VALIDATION_SLOTS.
VALIDATION_MODULUS, VALIDATION_SLOTS = 20, 3
# Subtracted from both coordinates of every label (cut pixels).
FIRST_PIXEL = 0.4


def photo_group(name):
    """'afw_1130084326_2.jpg' -> '300w:afw_1130084326'."""
    stem = os.path.splitext(os.path.basename(name))[0]
    return GROUP_PREFIX + stem.rsplit("_", 1)[0]


def group_is_validation(group):
    return zlib.crc32(group.encode()) % VALIDATION_MODULUS < VALIDATION_SLOTS


def image_path(name):
    return os.path.join(datasets.data_dir(SOURCE), "images", name)


def read_points():
    """[(name, (68, 2) float64 points in 0-based cut pixels)] in file order."""
    root = datasets.data_dir(SOURCE)
    out = []
    with open(os.path.join(root, "points.csv")) as f:
        rows = csv.reader(f)
        header = next(rows)
        if len(header) != 137:
            raise ValueError("faces300w/points.csv: expected name and 136 coordinates per row")
        for row in rows:
            if len(row) != 137:
                continue
            p68 = np.array([float(t) for t in row[1:]]).reshape(68, 2) - FIRST_PIXEL
            out.append((row[0], p68))
    return out


def load_faces68():
    """The faces as samples95.Face68 records (grey region, 68 points in it)."""
    from modelkit.data import samples95
    out = []
    for name, p68 in read_points():
        face = samples95._face68(image_path(name), p68, SOURCE, photo_group(name), name)
        if face is not None:
            out.append(face)
    return out


def load_faces5():
    """The faces as datasets.Face records (grey region, five points in it)."""
    out = []
    for name, p68 in read_points():
        face = datasets._face(image_path(name), five_from_68(p68), SOURCE, photo_group(name), name)
        if face is not None:
            out.append(face)
    return out
