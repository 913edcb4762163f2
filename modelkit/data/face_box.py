"""The canonical face box: the one box every model of the tool-chain agrees on.

Landmark training crops are cut from it, and the detector is trained to output
it, so that at run time the detector's box followed by the library's square
enlargement frames a face the way the landmark networks were trained on.
"""
import numpy as np

# Centre of the box along the eye-centre -> mouth-centre segment (0 = eyes,
# 1 = mouth). On frontal faces the middle of the brow-to-chin extent lies at
# about 0.64 of the way; 0.6 keeps a little more forehead.
CENTRE_ALONG_EYES_TO_MOUTH = 0.6
# Side of the box per (inter-ocular distance + eye-to-mouth distance). The
# jaw-to-jaw width is about 1.14 and the brow-to-chin height about 1.10 times
# that sum on frontal faces (measured on the 68-point frames).
SIDE_PER_EYE_MOUTH_SUM = 1.1


def five_point_centres(points):
    """Eye centre, mouth centre, inter-ocular and eye-to-mouth distances of a
    five-point set (eyes, nose, mouth corners), as float64."""
    p = np.asarray(points, dtype=np.float64).reshape(5, 2)
    eyes = (p[0] + p[1]) / 2.0
    mouth = (p[3] + p[4]) / 2.0
    iod = float(np.linalg.norm(p[1] - p[0]))
    eye_mouth = float(np.linalg.norm(mouth - eyes))
    return eyes, mouth, iod, eye_mouth


def five_from_68(points68):
    """The five points of a 68-point set: the two eye centres (means of 36-41
    and 42-47), the nose tip (30) and the mouth corners (48, 54), ordered with
    the image-left eye and mouth corner first."""
    p = np.asarray(points68, dtype=np.float64).reshape(68, 2)
    five = np.stack([p[36:42].mean(0), p[42:48].mean(0), p[30], p[48], p[54]])
    return order_five_points(five)


def order_five_points(points):
    """Puts the eye with the smaller x first, then the other eye, the nose, the
    mouth corner with the smaller x, the other mouth corner."""
    p = np.array(points, dtype=np.float64).reshape(5, 2)
    if p[0, 0] > p[1, 0]:
        p[[0, 1]] = p[[1, 0]]
    if p[3, 0] > p[4, 0]:
        p[[3, 4]] = p[[4, 3]]
    return p


def canonical_face_square(points):
    """(centre (2,), side) of the canonical face box, unrounded; see
    canonical_face_box."""
    p = np.asarray(points, dtype=np.float64)
    if p.size == 136:
        p = five_from_68(p)
    eyes, mouth, iod, eye_mouth = five_point_centres(p)
    centre = eyes + CENTRE_ALONG_EYES_TO_MOUTH * (mouth - eyes)
    return centre, SIDE_PER_EYE_MOUTH_SUM * (iod + eye_mouth)


def canonical_face_box(points):
    """Canonical face box (x, y, w, h) in whole pixels from a face's landmarks.

    points: five points (eyes, nose, mouth corners) or 68 points (reduced with
    five_from_68). With E the eye centre, M the mouth centre, iod the distance
    between the eye centres and d the distance from E to M:
      centre = E + 0.6 (M - E)
      side   = 1.1 (iod + d)
    and the box is the axis-aligned square of that side around the centre,
    x = round(cx - side / 2), y = round(cy - side / 2), w = h = round(side).

    Only the eyes and the mouth enter, so the box does not depend on the
    nose, which moves most with yaw; the sum iod + d shrinks less under yaw
    (iod shrinks) or pitch (d shrinks) than either alone. The box spans about
    brow to chin and jaw to jaw; the library's enlargeToSquare (1.2 times the
    side) then frames the whole face with a margin of about a tenth of a face
    on every side.
    """
    centre, side = canonical_face_square(points)
    x = int(round(centre[0] - side / 2.0))
    y = int(round(centre[1] - side / 2.0))
    s = max(1, int(round(side)))
    return x, y, s, s


def enlarge_to_square(box):
    """The library's enlargeToSquare for one box: a square 1.2 times the longer
    side around the same centre, with its float32 steps and truncations."""
    x, y, w, h = (int(v) for v in box)
    cx = x + int(w / 2)  # C division truncates toward zero
    cy = y + int(h / 2)
    side = np.float32(float(np.float32(max(w, h))) * 1.2)
    half = side * np.float32(0.5)
    nx = int(np.trunc(np.float32(cx) - half))
    ny = int(np.trunc(np.float32(cy) - half))
    ns = int(np.trunc(side))
    return nx, ny, ns, ns


def jittered_square(box, rng, f):
    """A square near box (x, y, w, h): the centre moved by up to f of the side
    each way, the side scaled by up to 1 +- (f + 0.02); whole pixels. It
    stands for a detector's box that is not exactly the canonical one."""
    x, y, w, h = box
    s = w * (1 + rng.uniform(-f - 0.02, f + 0.02))
    cx = x + w / 2 + rng.uniform(-f, f) * w
    cy = y + h / 2 + rng.uniform(-f, f) * w
    side = int(round(s))
    return int(round(cx - side / 2)), int(round(cy - side / 2)), side, side
