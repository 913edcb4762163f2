"""WIDER FACE photos (../shared/data/wider): the loader, the validation split
and the mapping from WIDER boxes to the canonical face box.

label.txt holds a line "# EVENT/file.jpg" per photo, then one "x y w h" line
per face, in pixels of the stored photo (the longer side at most 640 px, the
size the library detects at). Boxes of zero size are skipped.

Validation: a photo is set aside when crc32(its file name) % 100 < 18 (200
of the 1,200 photos, 56 of the 61 events); the training scripts never read
those.

WIDER boxes run from the top of the forehead to the chin and are narrower
than tall; the detector is trained to output the canonical face box of
face_box.py (a square from the eyes and the mouth, about brow to chin and jaw
to jaw). canonical_from_wider maps one to the other with the median centre
offset and side ratio measured by evaluate/wider_box_fit.py (the five-point network on
the WIDER faces large enough to align); the figures are in its docstring and
in modelkit/README.md.

WIDER FACE is for non-commercial research use: models trained on it say so.
"""
import os
import zlib
from dataclasses import dataclass

import numpy as np

from modelkit.data import datasets

VALIDATION_PERCENT = 18

# canonical side = SIDE_PER_HEIGHT * WIDER height; canonical centre = WIDER
# centre + (CENTRE_DX, CENTRE_DY) * WIDER height. evaluate wider-box-fit --dlib on
# the 1,641 training faces of 40 px and more: dlib's 68-point teacher places
# 915 (side 0.74, dy +0.10, dx 0; quartiles of the side 0.69-0.80), the
# five-point network settles on 819 (side 0.84, dy +0.07), and on the 480
# both place: 0.785 / 0.80. The teacher's figures are used: a detector
# fine-tuned for 400 steps with side 0.80 gave boxes 1.046 times the
# canonical box of faces300w's hand-placed points (the shipped file: 0.984)
# and a larger five-point error, so 0.80 is too large. A WIDER box is a
# loose, hand-drawn frame: the side alone spreads by about +-8 % around it.
# The 6,582-step run at 0.74 gave boxes 0.951 of the canonical box at the
# median; between that and 0.80's 1.046, 0.77 is where the ratio is about 1.
SIDE_PER_HEIGHT = 0.77
CENTRE_DX = 0.0
CENTRE_DY = 0.10


@dataclass
class WiderPhoto:
    name: str            # "EVENT/file.jpg", as in label.txt
    path: str
    boxes: np.ndarray    # (N, 4) float64 x, y, w, h in stored-photo pixels


def is_validation(name):
    """True for the photos set aside for validation (by file name)."""
    return zlib.crc32(os.path.basename(name).encode()) % 100 < VALIDATION_PERCENT


def read_labels(path):
    """[(name, (N, 4) boxes)] of a label.txt, zero-size boxes left out."""
    out = []
    name, rows = None, []
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line:
                continue
            if line.startswith("#"):
                if name is not None:
                    out.append((name, rows))
                name, rows = line[1:].strip(), []
                continue
            if name is None:
                raise ValueError("%s: a box before the first photo line" % path)
            v = [float(t) for t in line.split()[:4]]
            if len(v) != 4:
                raise ValueError("%s: box line %r has fewer than four numbers" % (path, line))
            if v[2] > 0 and v[3] > 0:
                rows.append(v)
    if name is not None:
        out.append((name, rows))
    return [(n, np.asarray(r, np.float64).reshape(-1, 4)) for n, r in out]


def load(split="all"):
    """[WiderPhoto] of split "train", "validation" or "all", in label order."""
    if split not in ("train", "validation", "all"):
        raise ValueError("split must be train, validation or all, not %r" % split)
    root = datasets.data_dir("wider")
    photos = []
    for name, boxes in read_labels(os.path.join(root, "label.txt")):
        val = is_validation(name)
        if split == "all" or val == (split == "validation"):
            photos.append(WiderPhoto(name, os.path.join(root, "images", name), boxes))
    return photos


def canonical_from_wider(boxes):
    """(N, 4) WIDER boxes x, y, w, h -> (N, 4) canonical boxes x1, y1, x2, y2
    (float, x2 = x1 + side, as the detector's training labels)."""
    b = np.asarray(boxes, np.float64).reshape(-1, 4)
    h = b[:, 3]
    side = SIDE_PER_HEIGHT * h
    cx = b[:, 0] + 0.5 * b[:, 2] + CENTRE_DX * h
    cy = b[:, 1] + 0.5 * b[:, 3] + CENTRE_DY * h
    return np.stack([cx - 0.5 * side, cy - 0.5 * side, cx + 0.5 * side, cy + 0.5 * side], 1)
