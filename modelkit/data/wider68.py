"""wider68: faces of the WIDER FACE training photos with 68 points placed by
dlib's predictor, more faces in the wild for the landmark networks.

faces300w gives 1,000 hand-labelled training faces in the wild; the other
sources are low-resolution video frames, small web photos and one kind of
portrait. The WIDER training photos hold everyday faces of every sort; the
ones at least MIN_HEIGHT px high (in the stored 640-px photos) that dlib's
HOG detector and 68-point predictor place on the boxed face become labelled
faces. The teacher finds mostly frontal faces and its points are its own
(2.7 % five-point error on photos like faces300w's), so these faces widen
what the networks have seen rather than teach them the hardest poses.

Each face is kept as a grey cut of the photo at its own resolution, a square
of twice the WIDER box's height around the box (pixels outside the photo
repeat the border), with its 68 points in the cut's 0-based pixels. The
teacher is run once on the cuts enlarged to TEACHER_SIDE px (its detector
misses small faces) and everything is cached in runs/labels/wider68/
(cuts and points.csv), so a fresh machine rebuilds it in a few minutes.

Only training photos are read (data/wider.is_validation holds out the
others); the landmark hold-out of these faces is the usual 10 % by photo
(group "wider:EVENT/file.jpg").

Terms: WIDER FACE is for non-commercial research, and dlib's 68-point model
(trained on 300-W) too; models trained on these faces say so.
"""
import csv
import os
import tempfile

import cv2
import numpy as np

from modelkit.data import datasets, wider
from modelkit.data.face_box import five_from_68

SOURCE = "wider68"
FOLDER = os.path.join(datasets.RUNS, "labels", SOURCE)
POINTS = os.path.join(FOLDER, "points.csv")
MIN_HEIGHT = 48
TEACHER_SIDE = 300
# The teacher's face must be the boxed one: its five points' mean within
# this share of the box height from the box's centre.
MAX_CENTRE_SHIFT = 0.3


def cut_around(grey, box):
    """(cut, 2 x 3 matrix photo -> cut): a square of twice the box height
    around the box's centre, at the photo's own scale."""
    x, y, w, h = box
    side = int(round(2 * h))
    cx, cy = x + w / 2.0, y + h / 2.0
    m = np.array([[1.0, 0.0, side / 2.0 - cx], [0.0, 1.0, side / 2.0 - cy]])
    cut = cv2.warpAffine(grey, m, (side, side), flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_REPLICATE)
    return cut, m


def face_name(photo_name, index):
    """'EVENT/file.jpg', 3 -> 'EVENT__file_3.png' (one flat folder)."""
    stem = os.path.splitext(photo_name)[0].replace("/", "__")
    return "%s_%d.png" % (stem, index)


def photo_group(name):
    """'EVENT__file_3.png' -> 'wider:EVENT/file'."""
    return "wider:" + os.path.splitext(name)[0].rsplit("_", 1)[0].replace("__", "/")


def enlarged_to_cut(points, k):
    """Points in pixels of a picture enlarged k times by cv2.resize -> the
    picture's own pixels (pixel centres at whole numbers in both)."""
    return (np.asarray(points, np.float64) + 0.5) / k - 0.5


def teacher_points(cuts):
    """{name: (68, 2) points in cut pixels} of the cuts {name: grey cut} on
    which the teacher places the face at the cut's centre."""
    out = {}
    with tempfile.TemporaryDirectory() as tmp:
        scales = {}
        for name, cut in cuts.items():
            scales[name] = TEACHER_SIDE / float(cut.shape[0])
            cv2.imwrite(os.path.join(tmp, name), cv2.resize(cut, (TEACHER_SIDE, TEACHER_SIDE),
                                                            interpolation=cv2.INTER_CUBIC))
        result = datasets.run_dlib_teacher(tmp, list(cuts), os.path.join(tmp, "out.csv"))
        for name, p68 in datasets.read_teacher_labels(result).items():
            p = enlarged_to_cut(p68, scales[name])
            side = cuts[name].shape[0]
            if np.hypot(*(five_from_68(p).mean(0) - side / 2.0)) <= MAX_CENTRE_SHIFT * side / 2.0:
                out[name] = p
    return out


def build():
    """Cuts the faces, runs the teacher and writes the cache."""
    cuts = {}
    for photo in wider.load("train"):
        big = np.flatnonzero(photo.boxes[:, 3] >= MIN_HEIGHT)
        if not len(big):
            continue
        grey = cv2.imread(photo.path, cv2.IMREAD_GRAYSCALE)
        if grey is None:
            continue
        for b in big:
            cuts[face_name(photo.name, int(b))] = cut_around(grey, photo.boxes[b])[0]
    labels = teacher_points(cuts)
    os.makedirs(FOLDER, exist_ok=True)
    for name in labels:
        cv2.imwrite(os.path.join(FOLDER, name), cuts[name])
    part = POINTS + ".part"
    with open(part, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["name"] + ["%s%d" % (a, i) for i in range(68) for a in "xy"])
        for name, p in sorted(labels.items()):
            w.writerow([name] + ["%.2f" % v for v in p.reshape(-1)])
    os.replace(part, POINTS)
    print("wider68: the teacher placed %d of %d faces at least %d px high (%s)"
          % (len(labels), len(cuts), MIN_HEIGHT, FOLDER), flush=True)


def read_points():
    """[(name, (68, 2) points in cut pixels)], built first if need be."""
    if not os.path.exists(POINTS):
        build()
    out = []
    with open(POINTS) as f:
        rows = csv.reader(f)
        next(rows)
        for row in rows:
            if len(row) == 137:
                out.append((row[0], np.array([float(t) for t in row[1:]]).reshape(68, 2)))
    return out


def image_path(name):
    return os.path.join(FOLDER, name)


def load_faces68():
    """The faces as samples95.Face68 records."""
    from modelkit.data import samples95
    faces = (samples95._face68(image_path(n), p, SOURCE, photo_group(n), n) for n, p in read_points())
    return [f for f in faces if f is not None]


def load_faces5():
    """The faces as datasets.Face records."""
    faces = (datasets._face(image_path(n), five_from_68(p), SOURCE, photo_group(n), n) for n, p in read_points())
    return [f for f in faces if f is not None]
