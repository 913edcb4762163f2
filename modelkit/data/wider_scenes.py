"""Training scenes cut from real photos: WIDER FACE training photos
(wider.py), at about the library's working scale, with their faces as
canonical boxes and everything unboxed as background.

A scene is a square cut of a photo scaled by a random factor around 1 (the
stored photos are at the working size already); faces that the cut shows
whole enough and large enough are faces, the rest are "ignore" regions:
faces too small to train on (below MIN_SIDE canonical px, where WIDER also
leaves many faces unboxed), faces cut by the border, and the surroundings of
tiny boxed faces. The proposal head and the second stage are taught neither
face nor background inside an ignore region, so a proposal on a small face
that WIDER did not box costs little.

Augmentation as real photos vary: scale, cut, mirror, colour (brightness,
contrast, saturation, a tint, grey), blur, noise and JPEG compression.
Half of the cuts are placed on a random face, so that scenes of crowds and
of single portraits both come up. `photo()` gives a whole photo instead, at
or a little below the working size, with the same jitter and rules.
"""
import math

import cv2
import numpy as np

from modelkit.data import wider

MIN_SIDE = 10.0          # canonical side below which a face is ignored, not taught
VISIBLE = 0.6            # a face cut by the border is taught when this share of its box is inside
IGNORE_GROW = 1.5        # ignore regions of too small faces are their canonical boxes grown this much
SCALES = (0.55, 1.6)     # scale factors of the photo, drawn log-uniformly
PHOTO_SCALES = (0.7, 1.0)  # whole photos: the working size or a little below


class WiderSceneMaker:
    def __init__(self, photos, size=256, seed=0, scales=SCALES):
        self.photos = [p for p in photos if len(p.boxes)]
        if not self.photos:
            raise ValueError("no WIDER photo with faces to train on")
        self.size, self.scales = size, scales
        self.rng = np.random.default_rng(seed)
        self.cache = {}

    def _image(self, photo):
        img = self.cache.get(photo.path)
        if img is None:
            img = cv2.imread(photo.path, cv2.IMREAD_COLOR)
            if img is None:
                raise SystemExit("wider_scenes: cannot read %s" % photo.path)
            self.cache[photo.path] = img
        return img

    def scene(self):
        """(BGR uint8 scene, (N, 4) canonical face boxes x1 y1 x2 y2,
        (M, 4) ignore regions x1 y1 x2 y2), in scene pixels."""
        rng, size = self.rng, self.size
        photo = self.photos[rng.integers(len(self.photos))]
        img = self._image(photo)
        boxes = wider.canonical_from_wider(photo.boxes)
        k = math.exp(rng.uniform(math.log(self.scales[0]), math.log(self.scales[1])))
        h, w = img.shape[:2]
        # The cut's top-left corner in scaled-photo pixels.
        if rng.random() < 0.5:
            b = boxes[rng.integers(len(boxes))] * k
            cx, cy = 0.5 * (b[0] + b[2]), 0.5 * (b[1] + b[3])
            x0 = cx - rng.uniform(0.1, 0.9) * size
            y0 = cy - rng.uniform(0.1, 0.9) * size
        else:
            x0 = rng.uniform(min(0.0, w * k - size), max(0.0, w * k - size))
            y0 = rng.uniform(min(0.0, h * k - size), max(0.0, h * k - size))
        mirror = rng.random() < 0.5
        m = np.array([[k, 0.0, -x0], [0.0, k, -y0]])
        if mirror:
            m = _mirrored(m, size)
        interp = cv2.INTER_AREA if k < 0.8 else cv2.INTER_LINEAR
        if k < 0.8:
            # Shrink first by area averaging (as a camera would), then place.
            small = cv2.resize(img, None, fx=k, fy=k, interpolation=cv2.INTER_AREA)
            m2 = m.copy()
            m2[:, :2] /= k
            scene = cv2.warpAffine(small, m2, (size, size), flags=cv2.INTER_LINEAR,
                                   borderMode=cv2.BORDER_REPLICATE)
        else:
            scene = cv2.warpAffine(img, m, (size, size), flags=interp, borderMode=cv2.BORDER_REPLICATE)
        tb = _transform_boxes(boxes, m)
        faces, ignore = _split(tb, size)
        return photometric_jitter(scene, rng), faces, ignore

    def photo(self, scales=PHOTO_SCALES):
        """A whole photo as the library sees one: (BGR uint8 image scaled by a
        random factor in `scales` of the stored (working) size, mirrored half
        the time, colours jittered; (N, 4) canonical face boxes; (M, 4)
        ignore regions), in image pixels."""
        rng = self.rng
        photo = self.photos[rng.integers(len(self.photos))]
        img = self._image(photo)
        k = rng.uniform(*scales)
        h, w = img.shape[:2]
        out_w, out_h = max(1, int(round(w * k))), max(1, int(round(h * k)))
        img = cv2.resize(img, (out_w, out_h), interpolation=cv2.INTER_AREA if k < 1 else cv2.INTER_LINEAR)
        m = np.array([[out_w / w, 0.0, 0.0], [0.0, out_h / h, 0.0]])
        if rng.random() < 0.5:
            img = np.ascontiguousarray(img[:, ::-1])
            m = _mirrored(m, out_w)
        tb = _transform_boxes(wider.canonical_from_wider(photo.boxes), m)
        faces, ignore = _split(tb, out_w, out_h)
        return photometric_jitter(img, rng), faces, ignore


def _mirrored(m, width):
    """The affine map m followed by a left-right flip of an image `width` wide."""
    return np.array([[-1.0, 0.0, width], [0.0, 1.0, 0.0]]) @ np.vstack([m, [0, 0, 1]])


def _transform_boxes(boxes, m):
    p1 = boxes[:, :2] @ m[:, :2].T + m[:, 2]
    p2 = boxes[:, 2:] @ m[:, :2].T + m[:, 2]
    return np.concatenate([np.minimum(p1, p2), np.maximum(p1, p2)], 1)


def _split(boxes, width, height=None):
    """Faces to teach and regions to ignore, from all canonical boxes in
    scene pixels (a square scene when height is None)."""
    height = width if height is None else height
    side = boxes[:, 2] - boxes[:, 0]
    inner = np.clip(boxes, 0.0, np.array([width, height, width, height], np.float64))
    area_in = np.maximum(0, inner[:, 2] - inner[:, 0]) * np.maximum(0, inner[:, 3] - inner[:, 1])
    visible = area_in / np.maximum(side * side, 1e-6)
    cx, cy = 0.5 * (boxes[:, 0] + boxes[:, 2]), 0.5 * (boxes[:, 1] + boxes[:, 3])
    centre_in = (cx >= 0) & (cx < width) & (cy >= 0) & (cy < height)
    taught = (side >= MIN_SIDE) & (visible >= VISIBLE) & centre_in
    shown = visible > 0
    rest = boxes[shown & ~taught]
    c = 0.5 * (rest[:, :2] + rest[:, 2:])
    # Small faces are grown (a proposal on one is larger than its box);
    # faces cut by the border are ignored as they are.
    grow = np.where(rest[:, 2] - rest[:, 0] < MIN_SIDE, IGNORE_GROW, 1.0)[:, None]
    half = 0.5 * grow * (rest[:, 2:] - rest[:, :2])
    ignore = np.concatenate([c - half, c + half], 1)
    return boxes[taught], ignore


def photometric_jitter(img, rng):
    """img with random brightness, contrast, saturation, tint, blur, noise
    and JPEG compression, as photos vary."""
    x = img.astype(np.float32)
    if rng.random() < 0.8:
        x = x * rng.uniform(0.6, 1.4) + rng.uniform(-40, 40)
        mean = x.mean(axis=(0, 1), keepdims=True)
        x = (x - mean) * rng.uniform(0.7, 1.3) + mean
    if rng.random() < 0.3:
        x = x * rng.uniform(0.85, 1.15, 3)[None, None, :]
    if rng.random() < 0.5:
        grey = x.mean(axis=2, keepdims=True)
        x = grey + (x - grey) * (0.0 if rng.random() < 0.3 else rng.uniform(0.3, 1.5))
    if rng.random() < 0.25:
        sigma = rng.uniform(0.4, 1.5)
        x = cv2.GaussianBlur(x, (0, 0), sigma)
    if rng.random() < 0.2:
        x = x + rng.normal(0, rng.uniform(2, 8), x.shape).astype(np.float32)
    out = np.clip(x, 0, 255).astype(np.uint8)
    if rng.random() < 0.3:
        ok, buf = cv2.imencode(".jpg", out, [cv2.IMWRITE_JPEG_QUALITY, int(rng.integers(25, 90))])
        if ok:
            out = cv2.imdecode(buf, cv2.IMREAD_COLOR)
    return out
