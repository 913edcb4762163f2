"""Face detector quality on the held-out sets, through the library's own
KXTracker_detect, beside OpenCV's Haar cascade and dlib's HOG detector run
on the same photos in the same run (modelkit/cpp/eval_detector).

  /usr/bin/python3 -m modelkit evaluate detector [--models models] [--time PHOTO]

Sets: cmu_mit/newtest (65 grey photos, eyes/nose/mouth annotated) and the
voc_faces testing photos (68 machine-made points per face).

Counting. A face counts for recall when its eye-to-mouth distance (eye
centre to mouth centre) is at least 12 px, i.e. about 40 px wide. A
detection hits a face when it contains both eyes and the mouth centre and
its side (mean of width and height) is 1.5 to 6 times the face's
eye-to-mouth distance. Detections are taken best first (in the order each
method returns them) and each one takes the nearest face it hits that no
earlier detection took. A detection that hits no face is a false detection,
unless it hits a face below the size limit (neither found nor false) or a
face that is already taken (a duplicate: false).

--by-size splits the recall by the faces' eye-to-mouth distance in the
working image, i.e. after the photo is shrunk to at most 640 px on a side as
KXTracker_detect does (the other methods see the photo at its own size,
except haar_640: the cascade on the working image, asked for by --methods).
"""
import argparse
import collections
import csv
import os
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

import numpy as np

from modelkit.data import datasets

TOOL = os.path.join(datasets.HELPERS, "eval_detector")
MIN_EYE_MOUTH = 12.0
WORKING_SIDE = 640.0
SIZE_BANDS = (8.0, 10.0, 14.0, 20.0, 40.0)   # eye-to-mouth band edges, working-image pixels
METHODS = ("kx", "haar", "dlib", "dlib_up")
# Also on request: the Haar cascade on the working image (the photo shrunk as
# KXTracker_detect shrinks it), to tell what it owes to the full-size photo.
EXTRA_METHODS = ("haar_640",)


class Face:
    def __init__(self, left_eye, right_eye, mouth):
        self.eyes = np.array([left_eye, right_eye], np.float64)
        self.mouth = np.asarray(mouth, np.float64)
        self.eye_mouth = float(np.linalg.norm(self.eyes.mean(0) - self.mouth))

    @property
    def counted(self):
        return self.eye_mouth >= MIN_EYE_MOUTH

    def hit_by(self, box):
        x, y, w, h = box
        inside = all(x <= px <= x + w and y <= py <= y + h for px, py in list(self.eyes) + [self.mouth])
        side = 0.5 * (w + h)
        return inside and 1.5 * self.eye_mouth <= side <= 6.0 * self.eye_mouth

    def distance(self, box):
        x, y, w, h = box
        centre = (self.eyes.mean(0) + self.mouth) / 2.0
        return float(np.hypot(x + w / 2.0 - centre[0], y + h / 2.0 - centre[1]))


def load_cmu_mit():
    root = os.path.join(datasets.data_dir("cmu_mit"), "newtest")
    faces = collections.defaultdict(list)
    with open(os.path.join(root, "groundtruth.txt")) as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            p = line.split()
            v = [float(t) for t in p[1:13]]
            faces[os.path.join(root, p[0])].append(Face(v[0:2], v[2:4], v[8:10]))
    photos = sorted(os.path.join(root, n) for n in os.listdir(root) if n.endswith(".png"))
    return {ph: faces.get(ph, []) for ph in photos}


def load_voc_testing():
    root = os.path.join(datasets.data_dir("photos"), "voc_faces")
    tree = ET.parse(os.path.join(root, "testing_with_face_landmarks.xml"))
    out = {}
    for image in tree.getroot().iter("image"):
        faces = []
        for box in image.iter("box"):
            pts = {int(p.get("name")): (float(p.get("x")), float(p.get("y"))) for p in box.iter("part")}
            if len(pts) != 68:
                continue
            a = np.array([pts[i] for i in range(68)])
            eyes = sorted([a[36:42].mean(0), a[42:48].mean(0)], key=lambda e: e[0])
            faces.append(Face(eyes[0], eyes[1], (a[48] + a[54]) / 2.0))
        out[os.path.join(root, image.get("file"))] = faces
    return out


def parse_methods(ap, text, allowed):
    """The methods of a comma-separated --methods value; ap.error when it
    names none or one not in allowed."""
    methods = [m for m in text.split(",") if m]
    unknown = [m for m in methods if m not in allowed]
    if unknown or not methods:
        ap.error("--methods: %s; choose from %s" % (", ".join(unknown) or "none given", ", ".join(allowed)))
    return methods


def run_detectors(models, photos, methods, with_score=False):
    """Boxes (x, y, w, h[, score]) per method and photo, from the C++ helper."""
    if not os.path.exists(TOOL):
        sys.exit("modelkit: build the helpers first (see modelkit/README.md): %s is missing" % TOOL)
    found = collections.defaultdict(lambda: collections.defaultdict(list))
    with tempfile.TemporaryDirectory() as tmp:
        listing, out = os.path.join(tmp, "list.txt"), os.path.join(tmp, "out.csv")
        with open(listing, "w") as f:
            f.writelines(p + "\n" for p in photos)
        subprocess.run([TOOL, "detect", models, listing, out, ",".join(methods)], check=True, stdout=subprocess.DEVNULL)
        with open(out) as f:
            for row in csv.DictReader(f):
                keys = ("x", "y", "w", "h", "score") if with_score else ("x", "y", "w", "h")
                found[row["method"]][row["photo"]].append(tuple(float(row[k]) for k in keys))
    return found


def score_set(truth, found, marks=None, found_faces=None):
    """(faces counted, found, false detections, photos). marks, when given,
    collects per photo the (box, verdict) of every detection; found_faces,
    when given, the counted faces that were found, per photo, by index."""
    total = hits = false = 0
    for photo, faces in truth.items():
        verdicts = marks.setdefault(photo, []) if marks is not None else []
        taken = [False] * len(faces)
        if found_faces is not None:
            found_faces[photo] = taken
        total += sum(f.counted for f in faces)
        for box in found.get(photo, []):
            cands = [i for i, f in enumerate(faces) if f.hit_by(box)]
            free = [i for i in cands if not taken[i]]
            if free:
                i = min(free, key=lambda k: faces[k].distance(box))
                taken[i] = True
                hits += faces[i].counted
                verdicts.append((box, "hit"))
            elif not cands:
                false += 1
                verdicts.append((box, "false"))
            elif any(faces[i].counted for i in cands):
                false += 1  # a second detection of a face already found
                verdicts.append((box, "false"))
            else:
                verdicts.append((box, "small"))
        # faces below the size limit that were hit add nothing either way
    return total, hits, false, len(truth)


def scale_for_size(height, width):
    """The factor KXTracker_detect shrinks a photo of this size by (1 for
    small ones)."""
    return min(1.0, WORKING_SIDE / max(height, width))


def working_scale(photo):
    """scale_for_size of a photo file."""
    import cv2
    return scale_for_size(*cv2.imread(photo, cv2.IMREAD_GRAYSCALE).shape)


BAND_NAMES = ["%g-%g" % lh for lh in zip((0.0,) + SIZE_BANDS, SIZE_BANDS)] + [">=%g" % SIZE_BANDS[-1]]


def size_band(eye_mouth):
    return BAND_NAMES[sum(eye_mouth >= edge for edge in SIZE_BANDS)]


def print_by_size(truth, found, methods):
    """Recall per eye-to-mouth band of the working image, every method."""
    scales = {photo: working_scale(photo) for photo in truth}
    print("recall by eye-to-mouth distance in the working image (px):")
    print("%-8s %s" % ("method", " ".join("%13s" % b for b in BAND_NAMES)))
    for m in methods:
        got = {}
        score_set(truth, found[m], found_faces=got)
        counts = {b: [0, 0] for b in BAND_NAMES}
        for photo, faces in truth.items():
            for f, hit in zip(faces, got[photo]):
                if f.counted:
                    c = counts[size_band(f.eye_mouth * scales[photo])]
                    c[0] += 1
                    c[1] += hit
        print("%-8s %s" % (m, " ".join("%4d/%3d %3.0f%%" % (c[1], c[0], 100.0 * c[1] / max(1, c[0]))
                                       for c in counts.values())))


def draw(sets, found, methods, folder):
    """Faces: green (counted) or grey (below the size limit), eyes and mouth
    dotted; detections: blue hits, red false, yellow on small faces."""
    import cv2
    os.makedirs(folder, exist_ok=True)
    colours = {"hit": (255, 128, 0), "false": (0, 0, 255), "small": (0, 220, 220)}
    for truth in sets.values():
        for photo, faces in truth.items():
            img = cv2.imread(photo, cv2.IMREAD_COLOR)
            for m in methods:
                marks = {}
                score_set({photo: faces}, found[m], marks)
                canvas = img.copy()
                for f in faces:
                    c = (0, 200, 0) if f.counted else (150, 150, 150)
                    for p in list(f.eyes) + [f.mouth]:
                        cv2.circle(canvas, (int(p[0]), int(p[1])), 2, c, -1)
                for (x, y, w, h), verdict in marks[photo]:
                    cv2.rectangle(canvas, (int(x), int(y)), (int(x + w), int(y + h)), colours[verdict], 2)
                name = "%s_%s.jpg" % (os.path.splitext(os.path.basename(photo))[0], m)
                cv2.imwrite(os.path.join(folder, name), canvas)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--models", default=os.path.join(datasets.REPO, "models"))
    ap.add_argument("--time", metavar="PHOTO", help="also time the methods on PHOTO fitted to 640 x 480")
    ap.add_argument("--runs", type=int, default=21)
    ap.add_argument("--draw", metavar="DIR", help="write every photo with faces and detections drawn")
    ap.add_argument("--by-size", action="store_true", help="also print the recall per face size, both sets together")
    ap.add_argument("--methods", default=",".join(METHODS),
                    help="comma-separated subset of %s" % ", ".join(METHODS + EXTRA_METHODS))
    args = ap.parse_args()
    sets = {"cmu_mit/newtest": load_cmu_mit(), "voc_faces testing": load_voc_testing()}
    photos = [p for s in sets.values() for p in s]
    methods = parse_methods(ap, args.methods, METHODS + EXTRA_METHODS)
    found = run_detectors(args.models, photos, methods)
    print("%-18s %-8s %6s %6s %8s %6s %10s" % ("set", "method", "faces", "found", "recall", "false", "false/img"))
    for name, truth in list(sets.items()) + [("both", {k: v for s in sets.values() for k, v in s.items()})]:
        for m in methods:
            total, hits, false, n = score_set(truth, found[m])
            print("%-18s %-8s %6d %6d %7.1f%% %6d %10.3f" % (name, m, total, hits, 100.0 * hits / max(1, total),
                                                            false, false / max(1, n)))
    if args.by_size:
        print_by_size({k: v for s in sets.values() for k, v in s.items()}, found, methods)
    if args.draw:
        draw(sets, found, methods, args.draw)
    if args.time:
        subprocess.run([TOOL, "time", args.models, args.time, str(args.runs)], check=True)


if __name__ == "__main__":
    main()
