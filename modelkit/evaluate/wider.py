"""Face detector quality on real photos: the WIDER FACE validation photos
(data/wider.py's split, never trained on) and cmu_mit/newtest, for the library's
KXTracker_detect and the peer detectors, in one run, counted by one rule.

  /usr/bin/python3 -m modelkit evaluate wider [--models models | --checkpoint CKPT [--background-bias B]]
      [--methods kx,haar,dlib,yunet22,yunet23,ssd] [--sets wider,newtest]

kx, haar (OpenCV's alt2 cascade, 1.1, 3 neighbours) and dlib (HOG) run in
the C++ helper (cpp/eval_detector, the library's own detection path); the
peers of ../shared/peers run here through OpenCV's dnn module on the photo
at its own size: YuNet 2022 (cv2.FaceDetectorYN, reported at scores 0.7
and 0.9), YuNet 2023 (cv2.dnn, decoded here: per stride 8, 16, 32 grid,
score sqrt(cls * obj), box centre (col + dx, row + dy) * stride, side
exp(d) * stride, suppression at 0.3; scores 0.7 and 0.9) and OpenCV's SSD
(blob of the photo's size, score 0.5). A peer whose file is absent is left
out. --checkpoint exports a training checkpoint (with its background bias)
into a temporary model folder beside copies of the other three models.

Matching rule. A detection hits a boxed face when each box contains the
other's centre and their longer sides are within a factor of two; each
face is matched once. Faces count when they are at least MIN_COUNTED px
high in the photo (WIDER: 15 px in the stored photos, about 24 px of the
originals; newtest: the boxes of facegroundtruth.txt, counted from 15 px
too). Detections are taken best first; each takes the nearest (by centre)
counted face it hits that no earlier one took. A detection that hits no
such face but hits a smaller boxed face or a face already taken is neither
a hit nor false; every other detection is false.

Recall by size band: the face's height in the 640-px working image
(WIDER photos are stored at that size): < 24, 24-40, 40-80, 80+ px; and
"24+": the faces at least 24 px high there, the figure the goals name.

--five-points: the five-point error on detected faces, through
KXTracker_detect_align5 (cpp/eval_detector points5), for the shipped models
and, with --checkpoint, the candidate: on cmu_mit/newtest (hand-placed eyes,
nose and mouth corners) and faces300w (five points from its 68 hand-placed
ones; 192 x 192 cuts). A face is detected when a box holds both eyes and the
mouth centre with a side of 1.5 to 6 eye-to-mouth distances (evaluate/detector.py's
rule); the error is the mean distance of the five points over the
inter-ocular distance, reported over each file's detected faces and over the
faces both detect; and the medians of the detected box (its 1.2 enlargement
undone) against the canonical box of the true points: side ratio, centre
offsets in canonical sides.

--export-to DIR writes the --checkpoint's model folder (for evaluate close-ups
--models DIR); --biases B1,B2,... measures kx at several background biases.
"""
import argparse
import collections
import os
import shutil
import subprocess
import tempfile

import cv2
import numpy as np

from modelkit.data import datasets

TOOL = os.path.join(datasets.HELPERS, "eval_detector")
PEERS = os.path.join(datasets.DATA, "..", "peers")
REPO = os.path.dirname(datasets.MODELKIT)
MIN_COUNTED = 15.0
BANDS = (24.0, 40.0, 80.0)
WORKING_SIDE = 640.0
CPP_METHODS = ("kx", "haar", "dlib", "dlib_up")
PEER_METHODS = ("yunet22", "yunet23", "ssd")
DEFAULT_METHODS = "kx,haar,dlib,yunet22,yunet23,ssd"


# ------------------------------------------------------------------ truth

def load_wider_validation():
    from modelkit.data import wider
    return {p.path: p.boxes for p in wider.load("validation")}


def load_newtest():
    root = os.path.join(datasets.data_dir("cmu_mit"), "newtest")
    boxes = collections.defaultdict(list)
    with open(os.path.join(root, "facegroundtruth.txt")) as f:
        for line in f:
            p = line.split()
            if len(p) == 5:
                boxes[os.path.join(root, p[0])].append([float(v) for v in p[1:]])
    photos = sorted(os.path.join(root, n) for n in os.listdir(root) if n.endswith(".png"))
    return {ph: np.asarray(boxes.get(ph, []), np.float64).reshape(-1, 4) for ph in photos}


# --------------------------------------------------------------- matching

def hits(det, face):
    """The matching rule for one detection and one face, boxes x, y, w, h."""
    dx, dy, dw, dh = det[:4]
    fx, fy, fw, fh = face
    dcx, dcy, fcx, fcy = dx + dw / 2.0, dy + dh / 2.0, fx + fw / 2.0, fy + fh / 2.0
    if not (dx <= fcx <= dx + dw and dy <= fcy <= dy + dh):
        return False
    if not (fx <= dcx <= fx + fw and fy <= dcy <= fy + fh):
        return False
    a, b = max(dw, dh), max(fw, fh)
    return a <= 2.0 * b and b <= 2.0 * a


def match(dets, faces, min_counted=MIN_COUNTED):
    """(found flags per face, false count, neither count) of one photo;
    dets in best-first order."""
    faces = np.asarray(faces, np.float64).reshape(-1, 4)
    counted = faces[:, 3] >= min_counted
    taken = np.zeros(len(faces), bool)
    false = neither = 0
    for d in dets:
        best, best_dist, touches = -1, np.inf, False
        for i, f in enumerate(faces):
            if not hits(d, f):
                continue
            touches = True
            if counted[i] and not taken[i]:
                dist = np.hypot(d[0] + d[2] / 2.0 - f[0] - f[2] / 2.0, d[1] + d[3] / 2.0 - f[1] - f[3] / 2.0)
                if dist < best_dist:
                    best, best_dist = i, dist
        if best >= 0:
            taken[best] = True
        elif touches:
            neither += 1
        else:
            false += 1
    return taken, false, neither


# ---------------------------------------------------------------- methods

def run_cpp(models, photos, methods):
    from modelkit.evaluate import detector as ev
    return ev.run_detectors(models, photos, methods, with_score=True)


def _padded(img, multiple=32, least=64):
    h, w = img.shape[:2]
    ph = max(least, -(-h // multiple) * multiple)
    pw = max(least, -(-w // multiple) * multiple)
    return cv2.copyMakeBorder(img, 0, ph - h, 0, pw - w, cv2.BORDER_CONSTANT, value=0)


class YuNet2022:
    def __init__(self, path):
        self.det = cv2.FaceDetectorYN_create(path, "", (320, 320), 0.5, 0.3, 5000)

    def __call__(self, img):
        pad = _padded(img)
        self.det.setInputSize((pad.shape[1], pad.shape[0]))
        _, rows = self.det.detect(pad)
        return [] if rows is None else [(r[0], r[1], r[2], r[3], r[14]) for r in rows]


class YuNet2023:
    def __init__(self, path):
        self.net = cv2.dnn.readNet(path)

    def __call__(self, img, floor=0.5):
        pad = _padded(img)
        h, w = pad.shape[:2]
        self.net.setInput(cv2.dnn.blobFromImage(pad))
        names = ["%s_%d" % (k, s) for s in (8, 16, 32) for k in ("cls", "obj", "bbox")]
        out = dict(zip(names, self.net.forward(names)))
        boxes, scores = [], []
        for s in (8, 16, 32):
            cols = w // s
            cls = np.clip(out["cls_%d" % s].reshape(-1), 0, 1)
            obj = np.clip(out["obj_%d" % s].reshape(-1), 0, 1)
            bb = out["bbox_%d" % s].reshape(-1, 4)
            score = np.sqrt(cls * obj)
            keep = np.nonzero(score >= floor)[0]
            r, c = keep // cols, keep % cols
            cx = (c + bb[keep, 0]) * s
            cy = (r + bb[keep, 1]) * s
            bw = np.exp(bb[keep, 2]) * s
            bh = np.exp(bb[keep, 3]) * s
            boxes += [[x - ww / 2, y - hh / 2, ww, hh] for x, y, ww, hh in zip(cx, cy, bw, bh)]
            scores += list(score[keep])
        if not boxes:
            return []
        idx = cv2.dnn.NMSBoxes([list(map(float, b)) for b in boxes], [float(v) for v in scores], floor, 0.3)
        idx = np.asarray(idx).reshape(-1)
        return [tuple(boxes[i]) + (scores[i],) for i in sorted(idx, key=lambda i: -scores[i])]


class OpenCvSsd:
    def __init__(self, pb, pbtxt):
        self.net = cv2.dnn.readNetFromTensorflow(pb, pbtxt)

    def __call__(self, img):
        h, w = img.shape[:2]
        self.net.setInput(cv2.dnn.blobFromImage(img, 1.0, (w, h), (104, 177, 123)))
        out = self.net.forward().reshape(-1, 7)
        out = out[out[:, 2] >= 0.5]
        out = out[np.argsort(-out[:, 2])]
        return [(r[3] * w, r[4] * h, (r[5] - r[3]) * w, (r[6] - r[4]) * h, r[2]) for r in out]


def peer_runners(methods):
    """{name: callable(img) -> [(x, y, w, h, score)]} of the peers whose
    files are present; every YuNet is asked for at a low score, and its
    operating points are picked from the scores."""
    out = {}
    f22 = os.path.join(PEERS, "face_detection_yunet_2022mar.onnx")
    f23 = os.path.join(PEERS, "face_detection_yunet_2023mar.onnx")
    pb, pbtxt = (os.path.join(PEERS, n) for n in ("opencv_face_detector_uint8.pb", "opencv_face_detector.pbtxt"))
    if "yunet22" in methods and os.path.exists(f22):
        out["yunet22"] = YuNet2022(f22)
    if "yunet23" in methods and os.path.exists(f23):
        out["yunet23"] = YuNet2023(f23)
    if "ssd" in methods and os.path.exists(pb) and os.path.exists(pbtxt):
        out["ssd"] = OpenCvSsd(pb, pbtxt)
    for m in methods:
        if m in PEER_METHODS and m not in out:
            print("(peer %s: its file is not in %s, left out)" % (m, os.path.normpath(PEERS)), flush=True)
    return out


def run_peers(photos, runners):
    found = collections.defaultdict(lambda: collections.defaultdict(list))
    for p in photos:
        img = cv2.imread(p, cv2.IMREAD_COLOR)
        for name, run in runners.items():
            found[name][p] = [tuple(float(v) for v in r) for r in run(img)]
    return found


def operating_points(found):
    """Splits the YuNet runs into their reported score points."""
    out = {}
    for m, per_photo in found.items():
        if m.startswith("yunet"):
            for t in (0.7, 0.9):
                out["%s@%.1f" % (m, t)] = {p: [d for d in ds if d[4] >= t] for p, ds in per_photo.items()}
        else:
            out[m] = per_photo
    return out


# ---------------------------------------------------------------- figures

def working_scale(path, cache={}):
    if path not in cache:
        h, w = cv2.imread(path, cv2.IMREAD_UNCHANGED).shape[:2]
        cache[path] = max(1.0, max(h, w) / WORKING_SIDE)
    return cache[path]


def score_method(truth, dets):
    """{'faces', 'found', 'false', 'photos', 'bands': [(found, total)] for
    <24, 24-40, 40-80, 80+ and 24+ in the working image}."""
    total = found = false = 0
    bands = np.zeros((len(BANDS) + 2, 2), int)
    for photo, faces in truth.items():
        taken, f, _ = match(dets.get(photo, []), faces)
        false += f
        k = working_scale(photo)
        for i, face in enumerate(faces):
            if face[3] < MIN_COUNTED:
                continue
            total += 1
            found += taken[i]
            hw = face[3] / k
            b = int(np.searchsorted(BANDS, hw, side="right"))
            bands[b] += (taken[i], 1)
            if hw >= BANDS[0]:
                bands[-1] += (taken[i], 1)
    return dict(faces=total, found=found, false=false, photos=len(truth), bands=bands)


def print_table(name, truth, results):
    print("\n%s: %d photos" % (name, len(truth)))
    print("| detector | faces found | false detections per photo | <24 | 24-40 | 40-80 | 80+ | 24+ |")
    print("|---|---|---|---|---|---|---|---|")
    for m, r in results.items():
        cells = ["%d/%d %.0f %%" % (a, b, 100.0 * a / b) if b else "-" for a, b in r["bands"]]
        print("| %s | %d/%d %.1f %% | %.2f (%d) | %s |" % (m, r["found"], r["faces"], 100.0 * r["found"] / max(1, r["faces"]),
                                                       r["false"] / max(1, r["photos"]), r["false"], " | ".join(cells)))


def export_checkpoint(path, bias, folder):
    from modelkit.nets import detector_net as dn
    from modelkit.formats import stdcnn
    import torch
    det = dn.load_weights(path)
    if bias:
        with torch.no_grad():
            det.cls.bias[0] += bias
    stdcnn.write(dn.export_model(det), os.path.join(folder, "frcnn_full_cross_500000.dat"))
    for n in ("model95_tern.bin", "cdcn_iter_500000.dat", "cdcn95_verify_iter_50000.dat"):
        shutil.copy(os.path.join(REPO, "models", n), folder)


def load_five_point_truth():
    """{photo: [(5, 2) points]} of newtest and faces300w."""
    from modelkit.data.face_box import five_from_68, order_five_points
    out = {}
    root = os.path.join(datasets.data_dir("cmu_mit"), "newtest")
    with open(os.path.join(root, "groundtruth.txt")) as f:
        for line in f:
            p = line.split()
            if line.startswith("#") or len(p) < 13:
                continue
            v = np.array([float(t) for t in p[1:13]]).reshape(6, 2)
            out.setdefault(os.path.join(root, p[0]), []).append(order_five_points(v[[0, 1, 2, 3, 5]]))
    newtest = dict(out)
    root = datasets.data_dir("faces300w")
    w300 = {}
    with open(os.path.join(root, "points.csv")) as f:
        next(f)
        for line in f:
            p = line.strip().split(",")
            v = np.array([float(t) for t in p[1:137]]).reshape(68, 2)
            w300[os.path.join(root, "images", p[0])] = [five_from_68(v)]
    return {"cmu_mit/newtest": newtest, "faces300w": w300}


def run_points5(models, photos):
    rows = collections.defaultdict(list)
    with tempfile.TemporaryDirectory() as tmp:
        listing, out = os.path.join(tmp, "list.txt"), os.path.join(tmp, "out.csv")
        with open(listing, "w") as f:
            f.writelines(p + "\n" for p in photos)
        subprocess.run([TOOL, "points5", models, listing, out], check=True, stdout=subprocess.DEVNULL)
        with open(out) as f:
            next(f)
            for line in f:
                p = line.rstrip("\n").split(",")
                v = [float(t) for t in p[1:]]
                rows[p[0]].append((v[:4], np.array(v[5:15]).reshape(5, 2)))
    return rows


def five_point_errors(truth, rows):
    """({(photo, face index): error}, [(side, dx, dy)]) of the detected
    faces: the error, and the library's box (divided by its 1.2 enlargement)
    against the canonical box of the true points, in canonical sides."""
    from modelkit.evaluate import detector as ev
    from modelkit.data.face_box import canonical_face_box, order_five_points
    out, boxes = {}, []
    for photo, faces in truth.items():
        dets = rows.get(photo, [])
        used = set()
        for i, pts in enumerate(faces):
            face = ev.Face(pts[0], pts[1], (pts[3] + pts[4]) / 2.0)
            cand = [j for j, (box, _) in enumerate(dets) if j not in used and face.hit_by(box)]
            if not cand:
                continue
            j = min(cand, key=lambda j: face.distance(dets[j][0]))
            used.add(j)
            got = order_five_points(dets[j][1])
            iod = np.linalg.norm(pts[1] - pts[0])
            out[(photo, i)] = float(np.mean(np.linalg.norm(got - pts, axis=1)) / iod)
            cx, cy, cs, _ = canonical_face_box(pts)
            b = dets[j][0]
            boxes.append((b[2] / 1.2 / cs, (b[0] + b[2] / 2.0 - cx - cs / 2.0) / cs,
                          (b[1] + b[3] / 2.0 - cy - cs / 2.0) / cs))
    return out, boxes


def report_five_points(folders):
    """folders: [(name, model folder)]."""
    truth = load_five_point_truth()
    for set_name, t in truth.items():
        photos = list(t)
        both = {name: five_point_errors(t, run_points5(folder, photos)) for name, folder in folders}
        errs = {name: e for name, (e, _) in both.items()}
        total = sum(len(v) for v in t.values())
        common = set.intersection(*(set(e) for e in errs.values()))
        print("\nfive-point error on detected faces, %s (%d faces); mean / median, in inter-ocular distances"
              % (set_name, total))
        print("| models | detected | error on its detected faces | on the %d faces all detect | box side / "
              "canonical, centre dx, dy (medians) |" % len(common))
        print("|---|---|---|---|---|")
        for name, e in errs.items():
            v = np.array(list(e.values()))
            c = np.array([e[k] for k in common])
            med = np.median(np.asarray(both[name][1]).reshape(-1, 3), 0)
            print("| %s | %d | %.4f / %.4f | %.4f / %.4f | %.3f, %+.3f, %+.3f |"
                  % (name, len(v), v.mean(), np.median(v), c.mean() if len(c) else np.nan,
                     np.median(c) if len(c) else np.nan, *med))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--models", default=os.path.join(REPO, "models"), help="model folder for kx")
    ap.add_argument("--checkpoint", help="a detector checkpoint (.pt) or file (.dat) to export and measure as kx")
    ap.add_argument("--background-bias", type=float, default=0.0, help="with --checkpoint: added to the "
                    "second stage's background logit (export/detector.py's option)")
    ap.add_argument("--methods", default=DEFAULT_METHODS,
                    help="comma-separated, of %s (default %%(default)s)" % ", ".join(CPP_METHODS + PEER_METHODS))
    ap.add_argument("--sets", default="wider,newtest", help="wider, newtest or both (default %(default)s)")
    ap.add_argument("--five-points", action="store_true", help="also the five-point error on detected faces")
    ap.add_argument("--export-to", metavar="DIR", help="with --checkpoint: write its model folder to DIR and stop")
    ap.add_argument("--biases", help="with --checkpoint: comma-separated background biases, kx only")
    args = ap.parse_args()
    if args.export_to:
        if not args.checkpoint:
            ap.error("--export-to needs --checkpoint")
        os.makedirs(args.export_to, exist_ok=True)
        export_checkpoint(args.checkpoint, args.background_bias, args.export_to)
        print("model folder %s" % args.export_to)
        return
    methods = [m for m in args.methods.split(",") if m]
    bad = [m for m in methods if m not in CPP_METHODS + PEER_METHODS]
    if bad or not methods:
        ap.error("--methods: unknown %s" % ", ".join(bad) if bad else "--methods: none given")
    sets = {}
    for s in [s for s in args.sets.split(",") if s]:
        if s == "wider":
            sets["WIDER validation"] = load_wider_validation()
        elif s == "newtest":
            sets["cmu_mit/newtest"] = load_newtest()
        else:
            ap.error("--sets: unknown %s" % s)
    if args.biases:
        if not args.checkpoint:
            ap.error("--biases needs --checkpoint")
        photos = [p for t in sets.values() for p in t]
        for b in [float(v) for v in args.biases.split(",") if v]:
            with tempfile.TemporaryDirectory() as tmp:
                export_checkpoint(args.checkpoint, b, tmp)
                found = run_cpp(tmp, photos, ["kx"])
            for name, truth in sets.items():
                print_table("%s, background bias %+.2f" % (name, b), truth, {"kx": score_method(truth, found["kx"])})
        return
    with tempfile.TemporaryDirectory() as tmp:
        models = args.models
        if args.checkpoint:
            export_checkpoint(args.checkpoint, args.background_bias, tmp)
            models = tmp
        if args.five_points:
            folders = [("shipped (%s)" % os.path.relpath(args.models, REPO), args.models)]
            if args.checkpoint:
                folders.append(("%s bias %+.2f" % (os.path.basename(args.checkpoint), args.background_bias), tmp))
            report_five_points(folders)
        photos = [p for t in sets.values() for p in t]
        cpp = [m for m in methods if m in CPP_METHODS]
        found = run_cpp(models, photos, cpp) if cpp else {}
        found = dict(found)
        found.update(run_peers(photos, peer_runners(methods)))
    found = operating_points(found)
    order = [m for m in ["kx"] + [k for k in found if k != "kx"] if m in found]
    for name, truth in sets.items():
        print_table(name, truth, {m: score_method(truth, found[m]) for m in order})


if __name__ == "__main__":
    main()
