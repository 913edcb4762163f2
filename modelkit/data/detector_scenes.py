"""Training scenes for the face detector: faces with landmarks pasted at
random sizes and places onto face-free photos, plus whole video frames with
their own face, in grey and in colour, with lighting changes.

Every face's label is the canonical face box of its (transformed) five
points, as (x1, y1, x2, y2) with x2 = x1 + side: the box the detector is to
output. A close-up face (a scene kind that is off unless asked for) has a
box that reaches past the scene; its label is the part inside, as the
library clips what it finds to the image, or with whole_close_ups the whole
box: a face that fills a 256-px scene is a small part of a 640-px photo's
possible faces, and a proposal head taught only the part inside learns to
stop at the scene's size.
"""
import csv
import math
import os

import cv2
import numpy as np

from modelkit.data import datasets, face_styles
from modelkit.data import faces300w as w300
from modelkit.data.face_box import canonical_face_box, five_from_68, order_five_points

MIN_SIDE = 10.0
CROWD_SHARE = 0.15   # scenes that are many small faces, as in a class photo
CLOSE_UP_SIDES = (0.7, 2.0)   # the close-up face's canonical side, in scene sides
TILT = 12.0                   # degrees a pasted face may be turned
STYLED_TILT = 25.0            # ... and a styled one


class FacePhoto:
    __slots__ = ("image", "points")

    def __init__(self, image, points):
        self.image, self.points = image, points


def _load(path, points, grey=False):
    img = cv2.imread(path, cv2.IMREAD_GRAYSCALE if grey else cv2.IMREAD_COLOR)
    if img is None:
        return None
    if img.ndim == 2:
        img = cv2.cvtColor(img, cv2.COLOR_GRAY2BGR)
    return FacePhoto(img, np.asarray(points, np.float64))


def load_face_photos(faces300w=False):
    """{source: [FacePhoto]} of frames68 (colour frames), lfw_grey (teacher
    labels) and mtfl5 (small colour photos); with faces300w, also the
    faces300w training photos (hand-labelled faces in the wild, the
    landmark validation photos left out)."""
    out = {"frames68": [], "lfw_grey": [], "mtfl5": []}
    if faces300w:
        out["faces300w"] = load_faces300w_photos()
    root = datasets.data_dir("frames68")
    with open(os.path.join(root, "training.csv")) as f:
        rows = csv.reader(f)
        next(rows)
        for row in rows:
            pts = five_from_68(np.array([float(t) for t in row[1:137]]).reshape(68, 2))
            p = _load(os.path.join(root, "training", row[0]), pts - datasets.FRAMES68_FIRST_PIXEL)
            if p is not None:
                out["frames68"].append(p)
    root = datasets.data_dir("lfw_grey")
    for name, pts68 in sorted(datasets.read_teacher_labels(datasets.label_lfw_grey()).items()):
        p = _load(os.path.join(root, name), five_from_68(pts68), grey=True)
        if p is not None:
            out["lfw_grey"].append(p)
    root = datasets.data_dir("mtfl5")
    with open(os.path.join(root, "training.txt")) as f:
        for line in f:
            parts = line.split()
            if len(parts) != 11:
                continue
            v = np.array([float(t) for t in parts[1:]])
            pts = order_five_points(np.stack([v[:5], v[5:]], 1))
            if (pts[0, 1] + pts[1, 1]) / 2.0 < datasets.MTFL_MIN_EYE_Y:
                continue
            p = _load(os.path.join(root, parts[0].replace("\\", "/")), pts)
            if p is not None:
                out["mtfl5"].append(p)
    return out


def load_faces300w_photos():
    """[FacePhoto] of the faces300w training photos (colour, five points);
    the photos held out for landmark validation are left out."""
    out = []
    for name, p68 in w300.read_points():
        if not w300.group_is_validation(w300.photo_group(name)):
            p = _load(w300.image_path(name), five_from_68(p68))
            if p is not None:
                out.append(p)
    return out


def load_negatives():
    root = datasets.data_dir("negatives")
    out = []
    for name in sorted(os.listdir(root)):
        img = cv2.imread(os.path.join(root, name), cv2.IMREAD_GRAYSCALE)
        if img is not None and min(img.shape) >= 64:
            out.append(img)
    return out


def _transform_points(m, pts):
    return pts @ m[:, :2].T + m[:, 2]


def _face_transform(photo, side, centre, rng, mirror, tilt=TILT):
    """Affine map taking the photo's face to canonical side `side` centred at
    `centre`, turned by up to `tilt` degrees and optionally mirrored."""
    x, y, s, _ = canonical_face_box(photo.points)
    cx, cy = x + s / 2.0, y + s / 2.0
    scale = side / float(s)
    angle = math.radians(rng.uniform(-tilt, tilt))
    a, b = scale * math.cos(angle), scale * math.sin(angle)
    m = np.array([[a, -b, 0.0], [b, a, 0.0]])
    if mirror:
        m[0] *= -1.0
    m[:, 2] = np.asarray(centre) - m[:, :2] @ np.array([cx, cy])
    return m


def _warp(image, m, size, anti_alias, **kw):
    """image mapped by the affine m onto size x size pixels. With
    anti_alias, a shrink is first done by area averaging, so that a face
    made small looks like one photographed small, not like every n-th
    pixel of a large one (bilinear warping alone skips pixels)."""
    scale = math.sqrt(abs(np.linalg.det(m[:, :2])))
    # (a shrink to under two pixels is left to the warp: nothing to average)
    if anti_alias and scale < 1.0 and min(image.shape[:2]) * scale >= 2.0:
        small = cv2.resize(image, None, fx=scale, fy=scale, interpolation=cv2.INTER_AREA)
        # small's pixel centres: u = (x + 0.5) * scale - 0.5 (in both axes)
        m = m.copy()
        m[:, 2] += m[:, :2] @ np.full(2, 0.5 / scale - 0.5)
        m[:, :2] /= scale
        image = small
    return cv2.warpAffine(image, m, (size, size), flags=cv2.INTER_LINEAR, **kw)


def _canonical_xyxy(pts):
    x, y, s, _ = canonical_face_box(order_five_points(pts))
    return np.array([x, y, x + s, y + s], np.float64)


def _lighting(img, rng):
    img = img.astype(np.float32)
    gain = rng.uniform(0.6, 1.4)
    bias = rng.uniform(-40, 40)
    img = img * gain + bias
    if rng.random() < 0.4:
        gamma = rng.uniform(0.6, 1.6)
        img = 255.0 * np.power(np.clip(img, 0, 255) / 255.0, gamma)
    return img


def _overlaps(box, boxes, limit=0.15):
    for b in boxes:
        iw = min(box[2], b[2]) - max(box[0], b[0])
        ih = min(box[3], b[3]) - max(box[1], b[1])
        if iw > 0 and ih > 0 and iw * ih > limit * min((box[2] - box[0]) ** 2, (b[2] - b[0]) ** 2):
            return True
    return False


def _covers(footprint, boxes, limit=0.1):
    """True when the footprint hides more than `limit` of a face already there."""
    for b in boxes:
        iw = min(footprint[2], b[2]) - max(footprint[0], b[0])
        ih = min(footprint[3], b[3]) - max(footprint[1], b[1])
        if iw > 0 and ih > 0 and iw * ih > limit * (b[2] - b[0]) * (b[3] - b[1]):
            return True
    return False


def _random_side(rng, low, high):
    return math.exp(rng.uniform(math.log(low), math.log(high)))


class SceneMaker:
    def __init__(self, photos, negatives, size=256, seed=0, crowd_share=CROWD_SHARE, close_up_share=0.0,
                 style_share=0.0, glasses_share=0.0, anti_alias=False, whole_close_ups=False,
                 faces300w_share=0.0):
        self.photos, self.negatives, self.size = photos, negatives, size
        # Shares of the scene kinds: groups of small faces, one face larger
        # than the view (as in a portrait shot close), the rest.
        self.crowd_share, self.close_up_share = crowd_share, close_up_share
        # Share of pasted faces that are drawn, printed, shadowed or covered
        # in part (data/face_styles.py), with a wider tilt.
        self.style_share = style_share
        # Share of pasted faces that wear glasses (drawn on; few source faces have them).
        self.glasses_share = glasses_share
        # Shrink faces by area averaging before warping them (off: the
        # scenes of runs made before it existed).
        self.anti_alias = anti_alias
        # Label close-ups with their whole box, past the scene's border.
        self.whole_close_ups = whole_close_ups
        self.rng = np.random.default_rng(seed)
        self.sources = [k for k in ("frames68", "lfw_grey", "mtfl5") if photos.get(k)]
        self.weights = np.array([{"frames68": 0.4, "lfw_grey": 0.35, "mtfl5": 0.25}[k] for k in self.sources])
        self.weights /= self.weights.sum()
        # Pasted faces taken from the faces in the wild: turned, covered,
        # made up, lit as the others seldom are.
        if faces300w_share > 0 and photos.get("faces300w"):
            self.sources.append("faces300w")
            self.weights = np.append(self.weights * (1.0 - faces300w_share), faces300w_share)

    def _background(self):
        rng, n = self.rng, self.size
        img = self.negatives[rng.integers(len(self.negatives))]
        h, w = img.shape
        side = int(rng.uniform(0.35, 1.0) * min(h, w))
        side = max(side, 32)
        y0, x0 = rng.integers(0, h - side + 1), rng.integers(0, w - side + 1)
        crop = cv2.resize(img[y0:y0 + side, x0:x0 + side], (n, n), interpolation=cv2.INTER_AREA)
        if rng.random() < 0.5:
            crop = crop[:, ::-1]
        return cv2.cvtColor(np.ascontiguousarray(crop), cv2.COLOR_GRAY2BGR).astype(np.float32)

    def _pick(self):
        src = self.sources[self.rng.choice(len(self.sources), p=self.weights)]
        items = self.photos[src]
        return items[self.rng.integers(len(items))]

    def _whole_frame(self, canvas, boxes):
        """A frames68 frame warped in as the scene itself, face labelled."""
        rng, n = self.rng, self.size
        photo = self.photos["frames68"][rng.integers(len(self.photos["frames68"]))]
        side = _random_side(rng, MIN_SIDE + 4, 0.8 * n)
        centre = rng.uniform(0.5 * side, n - 0.5 * side, 2)
        m = _face_transform(photo, side, centre, rng, rng.random() < 0.5)
        self._warp_over(canvas, photo, m)
        boxes.append(_canonical_xyxy(_transform_points(m, photo.points)))

    def _warp_over(self, canvas, photo, m):
        """The whole photo mapped by m onto the canvas, with a lighting change;
        the canvas shows where the photo does not reach."""
        n = self.size
        warped = _warp(photo.image, m, n, self.anti_alias, borderValue=0)
        mask = cv2.warpAffine(np.ones(photo.image.shape[:2], np.float32), m, (n, n), borderValue=0)[..., None]
        canvas[:] = mask * _lighting(warped, self.rng) + (1.0 - mask) * canvas

    def _close_up(self, canvas, boxes, scale=None, centre=None):
        """One face so large that the scene's borders cut its box; its eyes
        and mouth stay inside. `scale` and `centre` fix the canonical side
        (in scene sides) and where the box's centre goes (tests)."""
        rng, n = self.rng, self.size
        sources = [k for k in ("frames68", "lfw_grey") if self.photos.get(k)] or self.sources
        items = self.photos[sources[rng.integers(len(sources))]]
        photo = items[rng.integers(len(items))]
        side = n * (scale if scale is not None else _random_side(rng, *CLOSE_UP_SIDES))
        margin = 0.03 * n
        for _ in range(12):
            at = centre if centre is not None else rng.uniform(0.15 * n, 0.85 * n, 2)
            m = _face_transform(photo, side, at, rng, rng.random() < 0.5)
            pts = _transform_points(m, photo.points)
            if pts.min() >= margin and pts.max() <= n - margin:
                break
            side *= 0.9
        else:
            return
        self._warp_over(canvas, photo, m)
        box = _canonical_xyxy(pts)
        boxes.append(box if self.whole_close_ups else np.clip(box, 0.0, float(n)))

    def _paste(self, canvas, boxes, side):
        rng, n = self.rng, self.size
        photo = self._pick()
        patch = int(round(2.0 * side))
        for _ in range(8):
            centre = rng.uniform(0.5 * side, n - 0.5 * side, 2)
            box = np.array([centre[0] - side / 2, centre[1] - side / 2, centre[0] + side / 2, centre[1] + side / 2])
            reach = 0.8 * side  # the pasted patch's blend reaches about this far
            footprint = np.array([centre[0] - reach, centre[1] - reach, centre[0] + reach, centre[1] + reach])
            if not _overlaps(box, boxes) and not _covers(footprint, boxes):
                break
        else:
            return
        # No draw at share 0, so that runs without styles make the scenes they made before.
        styled = self.style_share > 0 and rng.random() < self.style_share
        m = _face_transform(photo, side, (patch / 2.0, patch / 2.0), rng, rng.random() < 0.5,
                            STYLED_TILT if styled else TILT)
        face = _warp(photo.image, m, patch, self.anti_alias, borderMode=cv2.BORDER_REPLICATE)
        face = _lighting(face, rng)
        if self.glasses_share > 0 and rng.random() < self.glasses_share:
            face = face_styles.glasses(face, _transform_points(m, photo.points[:2]), rng)
        if styled:
            face = face_styles.restyle(face, side, rng)
        alpha = np.zeros((patch, patch), np.float32)
        rx, ry = rng.uniform(0.38, 0.5) * patch, rng.uniform(0.42, 0.5) * patch
        cv2.ellipse(alpha, (patch // 2, patch // 2), (int(rx), int(ry)), 0, 0, 360, 1.0, -1)
        alpha = cv2.GaussianBlur(alpha, (0, 0), max(1.0, 0.06 * patch))
        x0 = int(round(centre[0] - patch / 2.0))
        y0 = int(round(centre[1] - patch / 2.0))
        cx0, cy0 = max(0, x0), max(0, y0)
        cx1, cy1 = min(n, x0 + patch), min(n, y0 + patch)
        if cx1 <= cx0 or cy1 <= cy0:
            return
        a = alpha[cy0 - y0:cy1 - y0, cx0 - x0:cx1 - x0, None]
        f = face[cy0 - y0:cy1 - y0, cx0 - x0:cx1 - x0]
        canvas[cy0:cy1, cx0:cx1] = a * f + (1.0 - a) * canvas[cy0:cy1, cx0:cx1]
        pts = _transform_points(m, photo.points) + (x0, y0)
        boxes.append(_canonical_xyxy(pts))

    def _pasted_sides(self):
        """Canonical sides of the faces to paste into one scene."""
        rng, n = self.rng, self.size
        r = rng.random()
        if r < self.crowd_share:
            # A group photo: rows of small faces of about one size.
            count = int(rng.integers(10, 31))
            centre_side = _random_side(rng, MIN_SIDE + 2, 28)
            return [centre_side * rng.uniform(0.85, 1.15) for _ in range(count)]
        r = (r - self.crowd_share) / (1.0 - self.crowd_share)
        count = 0 if r < 0.12 else 1 if r < 0.4 else int(rng.integers(2, 8))
        small = rng.random() < 0.5
        return [_random_side(rng, MIN_SIDE, 60 if small else 0.75 * n) for _ in range(count)]

    def scene(self):
        """(uint8 BGR image size x size, (K, 4) float boxes x1, y1, x2, y2)."""
        rng = self.rng
        canvas = self._background()
        boxes = []
        if self.close_up_share > 0 and rng.random() < self.close_up_share:
            # The face fills the view: nothing else is pasted over it.
            self._close_up(canvas, boxes)
            sides = []
        else:
            if rng.random() < 0.3 and self.photos.get("frames68"):
                self._whole_frame(canvas, boxes)
            sides = self._pasted_sides()
        for side in sides:
            self._paste(canvas, boxes, side)
        img = canvas
        if rng.random() < 0.6:
            g = cv2.cvtColor(np.clip(img, 0, 255).astype(np.uint8), cv2.COLOR_BGR2GRAY).astype(np.float32)
            img = np.repeat(g[..., None], 3, 2)
        else:
            img = img * rng.uniform(0.85, 1.15, 3).astype(np.float32)
        img = img * rng.uniform(0.7, 1.3) + rng.uniform(-25, 25)
        if rng.random() < 0.2:
            img = cv2.GaussianBlur(img, (0, 0), rng.uniform(0.5, 1.5))
        if rng.random() < 0.2:
            img = img + rng.normal(0, rng.uniform(2, 8), img.shape).astype(np.float32)
        img = np.clip(img, 0, 255).astype(np.uint8)
        b = np.array(boxes, np.float64).reshape(-1, 4)
        if len(b):
            b = b[(b[:, 2] - b[:, 0]) >= MIN_SIDE]
        return img, b


def network_input(bgr):
    """uint8 BGR (H, W, 3) -> float32 (3, H, W) planes minus the means, as
    the library's detector feeds its network."""
    from modelkit.nets.detector_net import MEANS_BGR
    x = bgr.astype(np.float32).transpose(2, 0, 1).copy()
    for c in range(3):
        x[c] -= MEANS_BGR[c]
    return x
