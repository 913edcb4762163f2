"""Faces with 68 points, non-face pictures, and the 60 x 60 warp crops the
95-point network is trained and checked on.

Faces: frames68 (points moved to 0-based pixels) and lfw_grey labelled by the
dlib teacher, each kept as a grey region around the face with its 68 points;
split by person / identity like data/datasets.py. Non-faces: the grey photos of
negatives/, split by file name (crc32 % 10 == 0 is validation).

A face crop is made the way the library makes it at run time: canonical box
(jittered like a detector's box in training) -> enlargeToSquare -> the
five-point network (the shipped one, run in torch) -> warpFromFivePoints.
The five points therefore carry the five-point network's own errors.
Non-face crops: random boxes on the non-face photos through the same path,
random plausible five points on them, and real faces warped from points
shifted or scaled far away from the face.
"""
import csv
import math
import os
import zlib

import cv2
import numpy as np
import torch

from modelkit.data import crops, datasets, layout95, warp_crop
from modelkit.data.face_box import canonical_face_box, enlarge_to_square, five_from_68
from modelkit.nets.five_point_net import load_network

FIVE_POINT_MODEL = os.path.join(datasets.REPO, "models", "cdcn_iter_500000.dat")


class Face68:
    def __init__(self, grey, p68, source, group, name, offset):
        self.grey, self.p68, self.source = grey, p68, source
        self.group, self.name, self.offset = group, name, offset


def _face68(path, p68, source, group, name):
    grey = cv2.imread(path, cv2.IMREAD_GRAYSCALE)
    if grey is None:
        return None
    region, _, off = datasets._region(grey, five_from_68(p68))
    if region is None:
        return None
    return Face68(region, np.asarray(p68, np.float64) - off, source, group, name, off)


def load_frames68():
    root = datasets.data_dir("frames68")
    out = []
    with open(os.path.join(root, "training.csv")) as f:
        rows = csv.reader(f)
        next(rows)
        for row in rows:
            name = row[0]
            p68 = np.array([float(t) for t in row[1:137]]).reshape(68, 2) - datasets.FRAMES68_FIRST_PIXEL
            group = "yt:" + os.path.splitext(name)[0].rsplit("_", 1)[0]
            face = _face68(os.path.join(root, "training", name), p68, "frames68", group, name)
            if face is not None:
                out.append(face)
    return out


def load_lfw_grey():
    root = datasets.data_dir("lfw_grey")
    out = []
    for name, p68 in sorted(datasets.read_teacher_labels(datasets.label_lfw_grey()).items()):
        face = _face68(os.path.join(root, name), p68, "lfw_grey", datasets.lfw_person(name), name)
        if face is not None:
            out.append(face)
    return out


def load_faces300w():
    from modelkit.data import faces300w
    return faces300w.load_faces68()


def load_wider68():
    from modelkit.data import wider68
    return wider68.load_faces68()


def load_negatives():
    """[(name, grey)], validation flag per photo."""
    root = datasets.data_dir("negatives")
    out = []
    for name in sorted(os.listdir(root)):
        grey = cv2.imread(os.path.join(root, name), cv2.IMREAD_GRAYSCALE)
        if grey is not None and min(grey.shape) >= 40:
            out.append((name, grey))
    return out


def negative_is_validation(name):
    return zlib.crc32(name.encode()) % 10 == 0


class FivePointRunner:
    """The shipped five-point network in torch: crops -> five points in frame
    pixels of their boxes."""

    def __init__(self, model=FIVE_POINT_MODEL):
        self.net = load_network(model)

    def __call__(self, crops60, boxes):
        out = []
        with torch.no_grad():
            for i in range(0, len(crops60), 512):
                x = torch.from_numpy(np.stack(crops60[i:i + 512])).float().unsqueeze(1)
                out.append(self.net(x).numpy().reshape(-1, 5, 2))
        units = np.concatenate(out) if out else np.zeros((0, 5, 2))
        return [crops.units_to_points(u, b) for u, b in zip(units, boxes)]


def jittered_box(box, rng, shift, scale):
    x, y, w, h = box
    s = w * (1.0 + rng.uniform(-scale, scale))
    cx = x + w / 2.0 + rng.uniform(-shift, shift) * w
    cy = y + h / 2.0 + rng.uniform(-shift, shift) * w
    side = max(4, int(round(s)))
    return int(round(cx - side / 2.0)), int(round(cy - side / 2.0)), side, side


def face_geometry(face, rng, augment, relation=None):
    """(grey, 68 points, enlarged box for the five-point network). With the
    face's detector relation (data/detected_boxes.py) and augment, the box is
    the detector's square, mirrored and turned with the face and wobbled a
    little; otherwise a jittered canonical box. Without augment: the
    canonical box, or the detector's square when the relation is given."""
    grey, p68 = face.grey, face.p68
    if not augment:
        box = canonical_face_box(p68)
        return grey, p68, enlarge_to_square(box) if relation is None else crops.detector_square(p68, relation)
    mirrored, m = False, None
    if rng.random() < 0.5:
        grey = np.ascontiguousarray(grey[:, ::-1])
        p68 = layout95.mirror68(p68, grey.shape[1])
        mirrored = True
    angle = rng.uniform(-15.0, 15.0)
    if abs(angle) > 0.5:
        centre = p68[27:48].mean(0)
        m = cv2.getRotationMatrix2D((float(centre[0]), float(centre[1])), angle, 1.0)
        grey = cv2.warpAffine(grey, m, (grey.shape[1], grey.shape[0]), flags=cv2.INTER_LINEAR,
                              borderMode=cv2.BORDER_REPLICATE)
        p68 = p68 @ m[:, :2].T + m[:, 2]
    if relation is not None:
        return grey, p68, crops.detector_square(p68, crops.turned_relation(relation, mirrored, m),
                                                0.02, 0.03, rng)
    return grey, p68, enlarge_to_square(jittered_box(canonical_face_box(p68), rng, 0.08, 0.10))


MEAN_FIVE = np.array([[-0.5, 0.0], [0.5, 0.0], [0.0, 0.55], [-0.38, 1.05], [0.38, 1.05]])


def plausible_five(rng, shape):
    """Random five points shaped like a face, anywhere on a picture."""
    rows, cols = shape
    iod = math.exp(rng.uniform(math.log(12), math.log(max(13, min(rows, cols) / 2.5))))
    a = math.radians(rng.uniform(-30, 30))
    r = np.array([[math.cos(a), -math.sin(a)], [math.sin(a), math.cos(a)]])
    pts = MEAN_FIVE + rng.normal(0, 0.06, MEAN_FIVE.shape)
    centre = np.array([rng.uniform(0, cols), rng.uniform(0, rows)])
    return pts @ r.T * iod + centre


def misplaced_five(p5, rng):
    """Five points moved far off the face: shifted by 1.2..2.2 eye-to-mouth
    distances, or shrunk so the crop holds only a part of the face."""
    p5 = np.asarray(p5, np.float64)
    eyes, mouth = (p5[0] + p5[1]) / 2, (p5[3] + p5[4]) / 2
    d = np.linalg.norm(mouth - eyes)
    centre = (eyes + mouth) / 2
    if rng.random() < 0.6:
        a = rng.uniform(0, 2 * math.pi)
        return p5 + rng.uniform(1.2, 2.2) * d * np.array([math.cos(a), math.sin(a)])
    f = rng.uniform(0.22, 0.4)
    anchor = centre + rng.uniform(-0.6, 0.6, 2) * d
    return (p5 - centre) * f + anchor


class CropMaker:
    def __init__(self, rng, five_points=None, relations=None, detector_share=0.0):
        """relations: {(source, name): detector relation} of the faces the
        detector finds; with augmentation, detector_share of their crops
        start from the detector's square."""
        self.rng = rng
        self.five = five_points or FivePointRunner()
        self.photo = crops.Augmenter(rng)
        self.relations = relations or {}
        self.detector_share = detector_share

    def _relation(self, face, augment):
        if not augment or self.detector_share <= 0 or self.rng.random() >= self.detector_share:
            return None
        return self.relations.get((face.source, face.name))

    def _warp(self, grey, p5, p68, photometry):
        crop, t = warp_crop.warp_from_five_points(grey, p5)
        if crop is None:
            return None
        if photometry:
            crop = self.photo.photometry(crop)
        target = None
        if p68 is not None:
            target = warp_crop.frame_to_units(layout95.from68(p68), t).astype(np.float32).reshape(190)
        return crop, target

    def faces(self, faces, augment, extra_noise=0.02):
        """Crops and 190 targets of faces; (crops, targets, kept indices)."""
        geo = [face_geometry(f, self.rng, augment, self._relation(f, augment)) for f in faces]
        return self._crops(geo, augment, extra_noise)

    def detected_faces(self, faces):
        """Crops and targets of the faces the detector finds, from its own
        square, no augmentation; (crops, targets, kept indices)."""
        found = [i for i, f in enumerate(faces) if (f.source, f.name) in self.relations]
        geo = [face_geometry(faces[i], self.rng, False, self.relations[(faces[i].source, faces[i].name)])
               for i in found]
        xs, ys, kept = self._crops(geo, False, 0.0)
        return xs, ys, [found[k] for k in kept]

    def _crops(self, geo, augment, extra_noise):
        p5s = self.five([crops.library_crop(g, b) for g, _, b in geo], [b for _, _, b in geo])
        xs, ys, kept = [], [], []
        for i, ((grey, p68, _), p5) in enumerate(zip(geo, p5s)):
            if augment and extra_noise > 0 and self.rng.random() < 0.5:
                iod = np.linalg.norm(p5[1] - p5[0])
                p5 = p5 + self.rng.normal(0, extra_noise * iod, p5.shape)
            got = self._warp(grey, p5, p68, augment)
            if got is not None:
                xs.append(got[0])
                ys.append(got[1])
                kept.append(i)
        return xs, ys, kept

    def random_boxes(self, photos, count, augment=True):
        """Non-face crops: random boxes through the five-point network."""
        pics, boxes = [], []
        for _ in range(count):
            grey = photos[self.rng.integers(len(photos))]
            rows, cols = grey.shape
            side = int(math.exp(self.rng.uniform(math.log(24), math.log(min(rows, cols)))))
            x = int(self.rng.integers(-side // 6, max(1, cols - side + side // 6)))
            y = int(self.rng.integers(-side // 6, max(1, rows - side + side // 6)))
            pics.append(grey)
            boxes.append(enlarge_to_square((x, y, side, side)))
        p5s = self.five([crops.library_crop(g, b) for g, b in zip(pics, boxes)], boxes)
        out = []
        for g, p5 in zip(pics, p5s):
            got = self._warp(g, p5, None, augment)
            if got is not None:
                out.append(got[0])
        return out

    def random_points(self, photos, count, augment=True):
        out = []
        for _ in range(count):
            grey = photos[self.rng.integers(len(photos))]
            got = self._warp(grey, plausible_five(self.rng, grey.shape), None, augment)
            if got is not None:
                out.append(got[0])
        return out

    def misplaced(self, faces, count, augment=True):
        out = []
        for _ in range(count):
            f = faces[self.rng.integers(len(faces))]
            grey, p68, _ = face_geometry(f, self.rng, augment)
            got = self._warp(grey, misplaced_five(five_from_68(p68), self.rng), None, augment)
            if got is not None:
                out.append(got[0])
        return out
