"""Five-point network crops, cut exactly the way the library cuts them, and the
augmentations that imitate detector boxes and real pictures.

Library path: face box -> enlargeToSquare -> cropWithPadding (pixels outside
the frame are 1) -> bilinear resize to 60 x 60 -> bytes fed to the network as
floats 0..255. Targets are the five points in crop units -1..1:
x_crop = (p - box_x) * 60 / box_w, unit = x_crop / 30 - 1 (the inverse of the
library's output mapping).
"""
import math

import cv2
import numpy as np

from modelkit.data.face_box import canonical_face_box, enlarge_to_square

CROP = 60


def crop_with_padding(grey, box):
    """The library's cropWithPadding: the box's pixels, value 1 outside."""
    x, y, w, h = box
    rows, cols = grey.shape[:2]
    if x >= 0 and y >= 0 and x + w <= cols and y + h <= rows:
        return grey[y:y + h, x:x + w]
    left, top = max(-x, 0), max(-y, 0)
    right, bottom = max(x + w - cols, 0), max(y + h - rows, 0)
    canvas = np.ones((rows + top + bottom, cols + left + right), np.uint8)
    canvas[top:top + rows, left:left + cols] = grey
    return canvas[y + top:y + top + h, x + left:x + left + w].copy()


def library_crop(grey, box):
    """60 x 60 uint8 crop of an (already enlarged) square box, as the library
    makes it before running the five-point network."""
    cut = crop_with_padding(grey, box)
    return cv2.resize(cut, (CROP, CROP), interpolation=cv2.INTER_LINEAR)


def points_to_units(points, box):
    """Five points in frame pixels -> crop units -1..1 of a square box."""
    p = np.asarray(points, np.float64).reshape(-1, 2)
    scale = CROP / float(box[2])
    cx = (p[:, 0] - box[0]) * scale
    cy = (p[:, 1] - box[1]) * scale
    return np.stack([cx / (CROP / 2) - 1.0, cy / (CROP / 2) - 1.0], 1)


def units_to_points(units, box):
    """The library's output mapping: crop units -> frame pixels."""
    u = np.asarray(units, np.float64).reshape(-1, 2)
    scale = CROP / float(box[2])
    c = u * (CROP / 2) + CROP / 2
    return np.stack([c[:, 0] / scale + box[0], c[:, 1] / scale + box[1]], 1)


def detector_square(points, relation, shift=0.0, scale=0.0, rng=None):
    """The square the detector gives a face: its canonical box enlarged,
    moved and scaled by the relation (dx, dy, ratio) that
    data/detected_boxes.py measured, then shifted by up to +-shift and scaled
    by up to +-scale of its side at random (the detector's own wobble from
    one picture of a face to the next)."""
    x, y, w, _ = enlarge_to_square(canonical_face_box(points))
    dx, dy, ratio = relation
    if rng is not None:
        dx += rng.uniform(-shift, shift)
        dy += rng.uniform(-shift, shift)
        ratio *= 1.0 + rng.uniform(-scale, scale)
    side = max(4, int(round(w * ratio)))
    cx, cy = x + w / 2.0 + dx * w, y + w / 2.0 + dy * w
    return int(round(cx - side / 2.0)), int(round(cy - side / 2.0)), side, side


def turned_relation(relation, mirrored, rotation):
    """A relation (dx, dy, ratio) after the face was mirrored (first) and
    turned by the 2 x 3 matrix rotation (None: not turned): the offset is
    a direction in the picture, so it moves with the face."""
    offset = np.array(relation[:2], np.float64)
    if mirrored:
        offset[0] = -offset[0]
    if rotation is not None:
        offset = rotation[:, :2] @ offset
    return offset[0], offset[1], relation[2]


def detected_sample(grey, points, relation):
    """Crop and targets from the detector's square, no augmentation."""
    box = detector_square(points, relation)
    return library_crop(grey, box), points_to_units(points, box).astype(np.float32)


def clean_sample(grey, points):
    """Crop and targets from the canonical box, no augmentation."""
    box = enlarge_to_square(canonical_face_box(points))
    return library_crop(grey, box), points_to_units(points, box).astype(np.float32)


# Horizontal mirroring swaps the two eyes and the two mouth corners.
MIRROR_ORDER = [1, 0, 2, 4, 3]


class Augmenter:
    """Random geometric and photometric changes of one face.

    Geometry (applied to the frame and the points before the library path):
    rotation about the face centre (+-max_rotation degrees), mirroring, and a
    canonical box shifted by up to +-shift of its side and scaled by up to
    +-scale, as a detector's box would be. Photometry (on the 60 x 60 bytes):
    contrast, brightness, gamma, slight blur.

    A face given with its detector relation (data/detected_boxes.py) gets,
    with probability detector_share, the detector's square instead, turned
    and mirrored with the face, wobbled by up to +-detector_shift and
    +-detector_scale.
    """

    def __init__(self, rng, shift=0.08, scale=0.10, max_rotation=15.0, detector_share=0.0,
                 detector_shift=0.02, detector_scale=0.03):
        self.rng = rng
        self.shift = shift
        self.scale = scale
        self.max_rotation = max_rotation
        self.detector_share = detector_share
        self.detector_shift = detector_shift
        self.detector_scale = detector_scale

    def geometry(self, grey, points, allow_mirror, relation=None):
        rng = self.rng
        # Points are in 0-based pixel coordinates (pixel x's centre at x), so
        # mirroring maps x to W - 1 - x.
        pts = np.asarray(points, np.float64).reshape(5, 2)
        if relation is not None and not (self.detector_share > 0 and rng.random() < self.detector_share):
            relation = None
        mirrored, m = False, None
        if allow_mirror and rng.random() < 0.5:
            grey = grey[:, ::-1]
            pts = pts.copy()
            pts[:, 0] = grey.shape[1] - 1 - pts[:, 0]
            pts = pts[MIRROR_ORDER]
            mirrored = True
        angle = rng.uniform(-self.max_rotation, self.max_rotation)
        if abs(angle) > 0.5:
            centre = pts.mean(0)
            m = cv2.getRotationMatrix2D((float(centre[0]), float(centre[1])), angle, 1.0)
            grey = cv2.warpAffine(np.ascontiguousarray(grey), m, (grey.shape[1], grey.shape[0]),
                                  flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_REPLICATE)
            pts = pts @ m[:, :2].T + m[:, 2]
        if relation is not None:
            box = detector_square(pts, turned_relation(relation, mirrored, m), self.detector_shift,
                                  self.detector_scale, rng)
            return np.ascontiguousarray(grey), pts, box
        x, y, w, h = canonical_face_box(pts)
        s = w * (1.0 + rng.uniform(-self.scale, self.scale))
        cx = x + w / 2.0 + rng.uniform(-self.shift, self.shift) * w
        cy = y + h / 2.0 + rng.uniform(-self.shift, self.shift) * w
        side = max(4, int(round(s)))
        box = (int(round(cx - side / 2.0)), int(round(cy - side / 2.0)), side, side)
        return np.ascontiguousarray(grey), pts, enlarge_to_square(box)

    def photometry(self, crop):
        rng = self.rng
        f = crop.astype(np.float32) / 255.0
        if rng.random() < 0.5:
            f = np.power(f, math.exp(rng.uniform(-0.4, 0.4)))
        contrast = math.exp(rng.uniform(-0.4, 0.3))
        brightness = rng.uniform(-0.15, 0.15)
        f = (f - 0.5) * contrast + 0.5 + brightness
        if rng.random() < 0.3:
            f = cv2.GaussianBlur(f, (0, 0), rng.uniform(0.4, 1.1))
        if rng.random() < 0.2:
            f = f + rng.normal(0.0, rng.uniform(0.005, 0.03), f.shape).astype(np.float32)
        return np.clip(np.round(f * 255.0), 0, 255).astype(np.uint8)

    def sample(self, grey, points, allow_mirror=True, relation=None):
        g, pts, box = self.geometry(grey, points, allow_mirror, relation)
        crop = self.photometry(library_crop(g, box))
        return crop, points_to_units(pts, box).astype(np.float32)
