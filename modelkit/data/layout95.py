"""The library's 95-point layout, built from the common 68-point order.

Rows of a 95-point shape (68-point indices in brackets):

  0..18   face contour: the jaw line [0..16] resampled to 19 points evenly
          spaced along its length (row 0 = [0], row 18 = [16])
  19..28  image-left brow: [17..21] resampled to 10 points along its length
  29..38  other brow: [22..26] likewise
  39..50  image-left eye: [36..41] with the midpoints between neighbours, in
          ring order mid(36,37), [37], mid(37,38), ..., [41], mid(41,36), [36]:
          row 39 = mid(36,37), row 45 = mid(39,40), corners [36] at row 50
          and [39] at row 44
  51..62  other eye: [42..47] the same way; row 51 = mid(42,43), row 57 =
          mid(45,46), corners [42] at 62 and [45] at 56
  63..74  nose: 63 [27], 64 mid(27,28), 65 tip-left, 66 [28], 67 mid(28,29),
          68 [29], 69 [31], 70 [32], 71 [33], 72 tip-right, 73 [34], 74 [35];
          tip-left/right = [30] -/+ a quarter of the nostril span [35]-[31],
          so mean(65, 72) = [30], the nose tip
  75..94  mouth: [48..67] in order, except that the outer corners [48], [54]
          and the inner corners [60], [64] trade places: row 87 = [48],
          row 91 = [54] (the mouth corners), row 75 = [60], row 81 = [64]

The library derives five points from a shape: eye centres mean(39, 45) and
mean(51, 57), nose mean(65, 72), mouth corners 87 and 91. For a shape built
here these are the means of four eye points ([36], [37], [39], [40] for the
first eye: close to the mean of its six, the usual eye centre, where the
corners' midpoint sits lower), the nose tip [30] and [48], [54]. Files made
when the rings started at the corners are renumbered by
export/eye_rings.py.
"""
import numpy as np

POINTS = 95

# Mirror partner of every 68-point index (the face flipped left to right).
MIRROR68 = np.array(
    list(range(16, -1, -1))                       # jaw
    + list(range(26, 21, -1)) + list(range(21, 16, -1))  # brows
    + [27, 28, 29, 30, 35, 34, 33, 32, 31]        # nose
    + [45, 44, 43, 42, 47, 46, 39, 38, 37, 36, 41, 40]  # eyes
    + [54, 53, 52, 51, 50, 49, 48, 59, 58, 57, 56, 55]  # outer lip
    + [64, 63, 62, 61, 60, 67, 66, 65])           # inner lip

MOUTH_ROWS = list(range(48, 68))
MOUTH_ROWS[0], MOUTH_ROWS[12] = 60, 48
MOUTH_ROWS[6], MOUTH_ROWS[16] = 64, 54


def _resample(polyline, count):
    """`count` points evenly spaced along a polyline, ends included."""
    p = np.asarray(polyline, np.float64)
    seg = np.linalg.norm(np.diff(p, axis=0), axis=1)
    arc = np.concatenate([[0.0], np.cumsum(seg)])
    if arc[-1] <= 0:
        return np.repeat(p[:1], count, axis=0)
    want = np.linspace(0.0, arc[-1], count)
    return np.stack([np.interp(want, arc, p[:, 0]), np.interp(want, arc, p[:, 1])], 1)


# First rows of the two eye rings.
EYE_RING_ROWS = (39, 51)
# Ring position of eye point j (of the six) in a ring of twelve.
EYE_POINT_SLOTS = np.array([11, 1, 3, 5, 7, 9])


def _eye_ring(eye):
    out = []
    for i in range(6):
        out.append((eye[i] + eye[(i + 1) % 6]) / 2.0)
        out.append(eye[(i + 1) % 6])
    return np.stack(out)


def from68(points68):
    """(95, 2) float64 shape of a (68, 2) point set (same pixel coordinates)."""
    p = np.asarray(points68, np.float64).reshape(68, 2)
    half_span = (p[35] - p[31]) / 4.0
    nose = np.stack([p[27], (p[27] + p[28]) / 2, p[30] - half_span, p[28], (p[28] + p[29]) / 2,
                     p[29], p[31], p[32], p[33], p[30] + half_span, p[34], p[35]])
    return np.concatenate([
        _resample(p[0:17], 19),
        _resample(p[17:22], 10),
        _resample(p[22:27], 10),
        _eye_ring(p[36:42]),
        _eye_ring(p[42:48]),
        nose,
        p[MOUTH_ROWS],
    ])


# The rows the five points come from: two points of each eye ring, the nose
# tip pair, the mouth corners.
FIVE_POINT_SOURCES = (39, 45, 51, 57, 65, 72, 87, 91)


def five_points(shape95):
    """The library's five points of a 95-point shape (fivePointsFromShape)."""
    s = np.asarray(shape95, np.float64).reshape(POINTS, 2)
    return np.stack([(s[39] + s[45]) / 2, (s[51] + s[57]) / 2, (s[65] + s[72]) / 2, s[87], s[91]])


# The 68 points the layout holds as they are (its other 68 points, the inner
# jaw points and the middle of each brow, are resampled along their line).
HELD68 = np.array([0, 16, 17, 21, 22, 26] + list(range(27, 68)))


def _along(polyline, fractions):
    p = np.asarray(polyline, np.float64)
    arc = np.concatenate([[0.0], np.cumsum(np.linalg.norm(np.diff(p, axis=0), axis=1))])
    want = np.asarray(fractions) * arc[-1]
    return np.stack([np.interp(want, arc, p[:, 0]), np.interp(want, arc, p[:, 1])], 1)


def to68(shape95):
    """(68, 2) points of a 95-point shape in the 68-point order: the held
    points as they are (the nose tip [30] = mean(65, 72)), the inner jaw and
    brow points at even shares of their line's length."""
    s = np.asarray(shape95, np.float64).reshape(POINTS, 2)
    p = np.zeros((68, 2))
    p[0:17] = _along(s[0:19], np.arange(17) / 16.0)
    p[17:22] = _along(s[19:29], np.arange(5) / 4.0)
    p[22:27] = _along(s[29:39], np.arange(5) / 4.0)
    p[27], p[28], p[29] = s[63], s[66], s[68]
    p[30] = (s[65] + s[72]) / 2
    p[31:34], p[34], p[35] = s[69:72], s[73], s[74]
    p[36:42] = s[EYE_RING_ROWS[0] + EYE_POINT_SLOTS]
    p[42:48] = s[EYE_RING_ROWS[1] + EYE_POINT_SLOTS]
    p[MOUTH_ROWS] = s[75:95]
    return p


def mirror68(points68, width):
    """68 points of the picture flipped left to right (0-based pixels, so x
    becomes width - 1 - x), renumbered so the order means the same again."""
    p = np.asarray(points68, np.float64).reshape(68, 2).copy()
    p[:, 0] = width - 1 - p[:, 0]
    return p[MIRROR68]


def _check():
    assert sorted(MIRROR68.tolist()) == list(range(68))
    assert (MIRROR68[MIRROR68] == np.arange(68)).all()
    assert sorted(MOUTH_ROWS) == list(range(48, 68))
    rng = np.random.default_rng(0)
    p = rng.random((68, 2)) * 100
    s = from68(p)
    assert s.shape == (95, 2)
    f = five_points(s)
    assert np.allclose(f[2], p[30]) and np.allclose(f[3], p[48]) and np.allclose(f[4], p[54])
    assert np.allclose(s[50], p[36]) and np.allclose(s[44], p[39])
    assert np.allclose(s[62], p[42]) and np.allclose(s[56], p[45])
    assert np.allclose(f[0], (p[36] + p[37] + p[39] + p[40]) / 4)
    assert np.allclose(f[1], (p[42] + p[43] + p[45] + p[46]) / 4)
    back = to68(s)
    assert np.allclose(back[HELD68], p[HELD68])


_check()
