"""The 95-point network's crop, made the way the library makes it
(align/geometry.cpp: warpFromFivePoints), and the point mappings around it.

Eye centre E = (p0 + p1) / 2 and mouth centre M = (p3 + p4) / 2 in float32;
the third point H = M + (dy, -dx) (the eye-to-mouth vector turned a quarter
turn) computed as M + (cos a, -sin a) d with a = atan2(dx, dy) in double;
getAffineTransform((E, M, H) -> ((30, 14), (30, 38), (54, 38))); warpAffine
to 60 x 60, bilinear, replicated border.
"""
import math

import cv2
import numpy as np

CROP = 60
TARGET = np.array([[30, 14], [30, 38], [54, 38]], np.float32)


def warp_transform(points5):
    """2 x 3 float64 frame-to-crop matrix of five points, or None when the
    eyes sit on the mouth."""
    p = np.asarray(points5, np.float32).reshape(5, 2)
    eye = (p[0] + p[1]) * np.float32(0.5)
    mouth = (p[3] + p[4]) * np.float32(0.5)
    dx = np.float32(mouth[0] - eye[0])
    dy = np.float32(mouth[1] - eye[1])
    d = np.float32(math.sqrt(float(np.float32(dx * dx + dy * dy))))
    if not (d > 0) or not math.isfinite(float(d)):
        return None
    a = math.atan2(float(dx), float(dy))
    third = np.array([float(mouth[0]) + math.cos(a) * float(d),
                      float(mouth[1]) - math.sin(a) * float(d)], np.float32)
    source = np.stack([eye, mouth, third]).astype(np.float32)
    return cv2.getAffineTransform(source, TARGET)


def warp_from_five_points(grey, points5):
    """(60 x 60 uint8 crop, 2 x 3 transform) or (None, None)."""
    t = warp_transform(points5)
    if t is None:
        return None, None
    crop = cv2.warpAffine(np.ascontiguousarray(grey), t, (CROP, CROP), flags=cv2.INTER_LINEAR,
                          borderMode=cv2.BORDER_REPLICATE, borderValue=0)
    return crop, t


def frame_to_units(points, t):
    """Frame pixels -> crop units -1..1 (the inverse of the library's
    mapCropPointsToImage: c = u * 30 + 30)."""
    p = np.asarray(points, np.float64).reshape(-1, 2)
    c = p @ np.asarray(t, np.float64)[:, :2].T + np.asarray(t, np.float64)[:, 2]
    return c / (CROP / 2.0) - 1.0


def units_to_frame(units, t):
    """Crop units -> frame pixels, as the library's mapCropPointsToImage."""
    full = np.vstack([np.asarray(t, np.float64), [0.0, 0.0, 1.0]])
    inv = np.linalg.inv(full)
    c = np.asarray(units, np.float64).reshape(-1, 2) * (CROP / 2.0) + CROP / 2.0
    return c @ inv[:2, :2].T + inv[:2, 2]
