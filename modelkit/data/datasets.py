"""Face sources for the landmark networks, with their five points and splits.

Sources (under ../shared/data, relative to the project root, or $KX_DATA):
  mtfl5     MTFL photos with five annotated points
  frames68  YouTube Faces video frames with 68 points
  lfw_grey  LFW photos without annotations, labelled with 68 points by the
            dlib teacher (modelkit/cpp/dlib_label, cached under modelkit/runs)
  faces300w 300-W in-the-wild faces with 68 hand-placed points
            (data/faces300w.py; non-commercial research use)

Every face comes back as a Face: a grey image region around the face (cut
so that every augmented box still sees the same frame borders as in the full
photo), its five points in that region's pixels (image-left eye first, then
the other eye, the nose, image-left mouth corner, other corner), the source
name and the group the split is made by (person or identity).

Validation hold-out: a group is held out when crc32(group) % 10 == 0, so the
same LFW person is held out in mtfl5/lfw_5590 and in lfw_grey alike;
faces300w's photo groups ("300w:...") hold out about 15 % (data/faces300w.py).
"""
import csv
import os
import subprocess
import sys
import zlib
from dataclasses import dataclass

import cv2
import numpy as np

from modelkit.data.face_box import canonical_face_box, enlarge_to_square, five_from_68, order_five_points

MODELKIT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REPO = os.path.dirname(MODELKIT)
RUNS = os.path.join(MODELKIT, "runs")
DATA = os.environ.get("KX_DATA", os.path.join(REPO, "..", "shared", "data"))
DLIB_PREDICTOR = "/usr/share/dlib/shape_predictor_68_face_landmarks.dat"
DLIB_LABELS = os.path.join(RUNS, "labels", "lfw_grey_dlib68.csv")
HELPERS = os.environ.get("KX_HELPERS", os.path.join(RUNS, "cpp-build"))


@dataclass
class Face:
    grey: np.ndarray      # uint8 region of the photo
    points: np.ndarray    # (5, 2) float64, region pixels
    source: str
    group: str
    name: str
    offset: tuple = (0, 0)  # region origin in the full photo


def data_dir(sub):
    path = os.path.normpath(os.path.join(DATA, sub))
    if not os.path.isdir(path):
        sys.exit("modelkit: data folder %s is missing (set KX_DATA to the folder that holds "
                 "mtfl5/, frames68/, lfw_grey/)" % path)
    return path


def is_validation(group):
    if group.startswith("300w:"):   # faces300w holds out ~15 % of its photos
        from modelkit.data import faces300w
        return faces300w.group_is_validation(group)
    return zlib.crc32(group.encode()) % 10 == 0


def lfw_person(file_name):
    """'Aaron_Eckhart_0001.jpg' -> 'Aaron_Eckhart'."""
    return os.path.splitext(os.path.basename(file_name))[0].rsplit("_", 1)[0]


def _region(grey, points, margin=1.0):
    """Cuts the photo down to the face's enlarged canonical box grown by
    `margin` of its side on every side, clipped to the photo. Clipping keeps
    the photo's own borders, so the library's padding stays the same."""
    x, y, w, h = enlarge_to_square(canonical_face_box(points))
    x0 = max(0, int(x - margin * w))
    y0 = max(0, int(y - margin * h))
    x1 = min(grey.shape[1], int(x + w + margin * w))
    y1 = min(grey.shape[0], int(y + h + margin * h))
    if x1 - x0 < 8 or y1 - y0 < 8:
        return None, None, None
    pts = np.asarray(points, np.float64) - (x0, y0)
    return np.ascontiguousarray(grey[y0:y1, x0:x1]), pts, (x0, y0)


def _face(path, points, source, group, name):
    grey = cv2.imread(path, cv2.IMREAD_GRAYSCALE)
    if grey is None:
        return None
    region, pts, off = _region(grey, points)
    if region is None:
        return None
    return Face(region, pts, source, group, name, off)


# In mtfl5/net_7876 about 2,350 of the 5,849 annotations sit above the face
# (eye centres at y < 15 of the 80 x 80 photo, where the correct ones are at
# 25..40, as in every lfw_5590 photo): they are dropped.
MTFL_MIN_EYE_Y = 20.0


def load_mtfl5():
    root = data_dir("mtfl5")
    faces = []
    with open(os.path.join(root, "training.txt")) as f:
        for line in f:
            parts = line.split()
            if len(parts) != 11:
                continue
            rel = parts[0].replace("\\", "/")
            v = np.array([float(t) for t in parts[1:]])
            pts = order_five_points(np.stack([v[:5], v[5:]], 1))
            if (pts[0, 1] + pts[1, 1]) / 2.0 < MTFL_MIN_EYE_Y:
                continue
            group = lfw_person(rel) if rel.startswith("lfw_5590/") else "net:" + rel
            face = _face(os.path.join(root, rel), pts, "mtfl5", group, rel)
            if face is not None:
                faces.append(face)
    return faces


# The frames68 points count pixels from 1: on the 2,655 frames where the dlib
# teacher finds the face, the median offset of all 68 points from dlib's
# (which, like OpenCV and the library, put pixel x's centre at x) is exactly
# (+1, +1). They are moved to 0-based coordinates when read, so that every
# source uses the library's pixel coordinates.
FRAMES68_FIRST_PIXEL = 1


def load_frames68():
    root = data_dir("frames68")
    faces = []
    with open(os.path.join(root, "training.csv")) as f:
        rows = csv.reader(f)
        next(rows)
        for row in rows:
            name = row[0]
            pts68 = np.array([float(t) for t in row[1:137]]).reshape(68, 2)
            group = "yt:" + os.path.splitext(name)[0].rsplit("_", 1)[0]
            five = five_from_68(pts68) - FRAMES68_FIRST_PIXEL
            face = _face(os.path.join(root, "training", name), five, "frames68", group, name)
            if face is not None:
                faces.append(face)
    return faces


def run_dlib_teacher(root, names, csv_path):
    """Labels the images `names` of folder `root` with the dlib teacher into
    csv_path (name,found,box_x,box_y,box_w,box_h,x0,y0,...,x67,y67)."""
    tool = os.path.join(HELPERS, "dlib_label")
    if not os.path.exists(tool):
        sys.exit("modelkit: build the helpers first (see modelkit/README.md): %s is missing" % tool)
    if not os.path.exists(DLIB_PREDICTOR):
        sys.exit("modelkit: %s is missing (apt-get install libdlib-data)" % DLIB_PREDICTOR)
    os.makedirs(os.path.dirname(csv_path), exist_ok=True)
    listing = csv_path + ".list"
    with open(listing, "w") as f:
        f.writelines(name + "\n" for name in names)
    tmp = csv_path + ".part"
    subprocess.run([tool, DLIB_PREDICTOR, root, listing, tmp], check=True)
    os.replace(tmp, csv_path)
    return csv_path


def read_teacher_labels(csv_path):
    """{name: (68, 2) points} of the faces the teacher found."""
    out = {}
    with open(csv_path) as f:
        rows = csv.reader(f)
        next(rows)
        for row in rows:
            if row[1] == "1":
                out[row[0]] = np.array([float(t) for t in row[6:6 + 136]]).reshape(68, 2)
    return out


PORTRAITS = ["obama.jpg", "biden.jpg"]   # the two public-domain photos in photos/


def teacher_labelled_portraits(read_flags=cv2.IMREAD_GRAYSCALE):
    """[(name, photo, (68, 2) teacher points)] of the two portraits, read
    with read_flags (grey by default), labelled once and cached in
    runs/labels."""
    root = data_dir("photos")
    csv_path = os.path.join(RUNS, "labels", "portraits_dlib68.csv")
    if not os.path.exists(csv_path):
        run_dlib_teacher(root, PORTRAITS, csv_path)
    labels = read_teacher_labels(csv_path)
    return [(name, cv2.imread(os.path.join(root, name), read_flags), labels[name])
            for name in PORTRAITS]


def label_lfw_grey():
    """Runs the dlib teacher over lfw_grey once and caches the CSV."""
    if os.path.exists(DLIB_LABELS):
        return DLIB_LABELS
    root = data_dir("lfw_grey")
    names = sorted(n for n in os.listdir(root) if n.lower().endswith((".jpg", ".png")))
    return run_dlib_teacher(root, names, DLIB_LABELS)


def load_lfw_grey():
    root = data_dir("lfw_grey")
    faces = []
    for name, pts68 in sorted(read_teacher_labels(label_lfw_grey()).items()):
        face = _face(os.path.join(root, name), five_from_68(pts68), "lfw_grey", lfw_person(name), name)
        if face is not None:
            faces.append(face)
    return faces


def load_faces300w():
    from modelkit.data import faces300w
    return faces300w.load_faces5()


def load_wider68():
    from modelkit.data import wider68
    return wider68.load_faces5()


LOADERS = {"mtfl5": load_mtfl5, "frames68": load_frames68, "lfw_grey": load_lfw_grey,
           "faces300w": load_faces300w, "wider68": load_wider68}


def photo_path(face):
    """The photo file a face (of any source's loader) was cut from."""
    if face.source == "faces300w":
        return os.path.join(data_dir("faces300w"), "images", face.name)
    if face.source == "frames68":
        return os.path.join(data_dir("frames68"), "training", face.name)
    if face.source == "wider68":
        from modelkit.data import wider68
        return wider68.image_path(face.name)
    return os.path.join(data_dir(face.source), face.name)


def load_sources(names):
    faces = []
    for name in names:
        got = LOADERS[name]()
        print("loaded %s: %d faces" % (name, len(got)), flush=True)
        faces.extend(got)
    return faces


def split(faces):
    train = [f for f in faces if not is_validation(f.group)]
    val = [f for f in faces if is_validation(f.group)]
    return train, val
