"""Ways a face can look in a photo other than as a well-lit photograph of
it: drawn in ink or pencil, printed as a halftone, modelled flat like a
sculpture or a mask, half in shadow, in the dark, or partly covered by a
hand, a microphone or a hat. The detector's training pastes some faces in
one of these styles, so that its second stage does not learn that a face
is only a photographed one.

Every style of STYLES takes and returns a float32 BGR patch (values about
0-255) whose face has canonical side `side` and is centred in the patch.
`glasses` takes the eye centres instead; the scenes draw it before a style,
so that a drawn or printed face can wear glasses too.
"""
import math

import cv2
import numpy as np


def _grey(patch):
    return cv2.cvtColor(np.clip(patch, 0, 255).astype(np.uint8), cv2.COLOR_BGR2GRAY)


def _bgr(grey):
    return np.repeat(np.asarray(grey, np.float32)[..., None], 3, 2)


def _turned_axes(shape, angle, cx=0.0, cy=0.0):
    """Pixel coordinates of a (height, width) grid about (cx, cy), along and
    across the direction `angle` (radians)."""
    y, x = np.mgrid[0:shape[0], 0:shape[1]].astype(np.float32)
    x, y = x - cx, y - cy
    return x * math.cos(angle) + y * math.sin(angle), -x * math.sin(angle) + y * math.cos(angle)


def _odd(n):
    n = max(3, int(round(n)))
    return n if n % 2 else n + 1


def ink(patch, side, rng):
    """Black lines and filled darks on white, as in a comic or on a card."""
    g = cv2.GaussianBlur(_grey(patch), (0, 0), max(0.5, 0.015 * side))
    block = _odd(rng.uniform(0.12, 0.3) * side)
    lines = cv2.adaptiveThreshold(g, 255, cv2.ADAPTIVE_THRESH_MEAN_C, cv2.THRESH_BINARY, block,
                                  rng.uniform(3, 10))
    if rng.random() < 0.5:
        # Solid blacks where the photo is dark (hair, shadows).
        lines[g < rng.uniform(40, 90)] = 0
    paper = rng.uniform(200, 255)
    return _bgr(np.where(lines > 0, paper, rng.uniform(0, 50)))


def pencil(patch, side, rng):
    """A pencil or charcoal sketch: the photo's edges dodged onto light paper."""
    g = _grey(patch).astype(np.float32)
    blur = cv2.GaussianBlur(255.0 - g, (0, 0), max(1.0, rng.uniform(0.03, 0.08) * side))
    sketch = np.clip(g * 255.0 / np.maximum(1.0, 255.0 - blur), 0, 255)
    gamma = rng.uniform(1.5, 4.0)   # darkens the strokes
    return _bgr(255.0 * np.power(sketch / 255.0, gamma))


def halftone(patch, side, rng):
    """Printed with a dot screen, as in a newspaper."""
    g = _grey(patch).astype(np.float32)
    period = rng.uniform(3.0, max(3.5, 0.08 * side))
    u, v = _turned_axes(g.shape, rng.uniform(0, math.pi / 2))
    screen = np.cos(2 * math.pi * u / period) * np.cos(2 * math.pi * v / period)
    # Thresholds at the screen's own quantiles, so that an area of grey g
    # is printed with a share g / 255 of white, as ink on paper keeps tone.
    levels = np.sort(screen.ravel())
    threshold = np.interp(g / 255.0, np.linspace(0.0, 1.0, levels.size), levels)
    dots = np.where(threshold > screen, 255.0, 0.0).astype(np.float32)
    return _bgr(cv2.GaussianBlur(dots, (0, 0), rng.uniform(0.3, 0.6)))


def flat(patch, side, rng):
    """Smooth surfaces in a few tones, as in a sculpture, a mask or a poster."""
    img = np.clip(patch, 0, 255).astype(np.uint8)
    for _ in range(2):
        img = cv2.bilateralFilter(img, _odd(0.08 * side), 60, max(2.0, 0.05 * side))
    levels = int(rng.integers(3, 7))
    g = _grey(img).astype(np.float32)
    q = np.floor(g / 256.0 * levels) * (255.0 / max(1, levels - 1))
    return _bgr(q) if rng.random() < 0.5 else img.astype(np.float32) * (q / np.maximum(g, 1.0))[..., None]


def shadow(patch, side, rng):
    """Light from one side: a ramp from dark to lit across the face."""
    h, w = patch.shape[:2]
    t = _turned_axes((h, w), rng.uniform(0, 2 * math.pi), w / 2.0, h / 2.0)[0] / side
    edge = rng.uniform(-0.15, 0.15)
    soft = rng.uniform(0.03, 0.3)
    low = rng.uniform(0.1, 0.45)
    gain = low + (1.0 - low) / (1.0 + np.exp(-(t - edge) / soft))
    return patch * gain[..., None]


def dark(patch, side, rng):
    """A face in the dark or with dark skin under poor light."""
    gain = rng.uniform(0.2, 0.5)
    return patch * gain + rng.uniform(-5, 15)


def covered(patch, side, rng):
    """A bar across part of the face (a hand, a microphone, a cap's brim,
    a card's frame) in a flat tone; both eyes or the mouth stay in view."""
    out = patch.copy()
    h, w = patch.shape[:2]
    cx, cy = w / 2.0, h / 2.0
    tone = rng.uniform(0, 255)
    kind = rng.integers(3)
    if kind == 0:    # upright bar over a cheek or the mouth
        bw = rng.uniform(0.1, 0.25) * side
        x0 = cx + rng.uniform(-0.45, 0.3) * side
        y0 = cy + rng.uniform(-0.1, 0.25) * side
        x1, y1 = x0 + bw, h
    elif kind == 1:  # from the top down over the forehead
        x0, x1 = 0, w
        y0, y1 = 0, cy - rng.uniform(0.15, 0.35) * side
    else:            # from one side over part of a cheek
        x0, y0, y1 = 0, 0, h
        x1 = cx - rng.uniform(0.3, 0.45) * side
        if rng.random() < 0.5:
            x0, x1 = w - x1, w
    x0, x1 = int(max(0, x0)), int(min(w, x1))
    y0, y1 = int(max(0, y0)), int(min(h, y1))
    if x1 > x0 and y1 > y0:
        out[y0:y1, x0:x1] = tone + rng.normal(0, 6, (y1 - y0, x1 - x0, 1)).astype(np.float32)
    return out


def glasses(patch, eyes, rng):
    """Spectacles over the two eye centres `eyes` ((2, 2) patch pixels):
    round or square rims, a bridge and the temples, dark or metal, the
    lenses sometimes tinted. Unlike the styles above, a photographed face
    keeps its look, so this one can go with any of them."""
    (lx, ly), (rx, ry) = sorted(map(tuple, np.asarray(eyes, np.float64)))
    d = math.hypot(rx - lx, ry - ly)
    if d < 2.0:
        return patch
    angle = math.degrees(math.atan2(ry - ly, rx - lx))
    ux, uy = (rx - lx) / d, (ry - ly) / d          # along the eye line
    half_w = rng.uniform(0.36, 0.46) * d
    half_h = half_w * rng.uniform(0.6, 0.9)
    # Drawn at 16x sub-pixel precision, anti-aliased, so that rims a pixel
    # wide at small faces cover pixels in part, as a camera sees them.
    shift = 4
    unit = float(1 << shift)

    def fixed(x, y):
        return int(round(x * unit)), int(round(y * unit))

    thick = max(1, int(round(rng.uniform(0.03, 0.07) * d)))
    rims = np.zeros(patch.shape[:2], np.uint8)
    lenses = np.zeros(patch.shape[:2], np.uint8)
    square = rng.random() < 0.5
    for cx, cy in ((lx, ly), (rx, ry)):
        if square:
            corners = cv2.boxPoints(((cx, cy), (2 * half_w, 2 * half_h), angle))
            pts = np.array([fixed(x, y) for x, y in corners], np.int32)
            cv2.fillConvexPoly(lenses, pts, 255, cv2.LINE_AA, shift)
            cv2.polylines(rims, [pts], True, 255, thick, cv2.LINE_AA, shift)
        else:
            axes = (int(round(half_w * unit)), int(round(half_h * unit)))
            cv2.ellipse(lenses, fixed(cx, cy), axes, angle, 0, 360, 255, -1, cv2.LINE_AA, shift)
            cv2.ellipse(rims, fixed(cx, cy), axes, angle, 0, 360, 255, thick, cv2.LINE_AA, shift)

    def along(t0, t1):
        """A rim segment on the eye line, from t0 to t1 pixels past the left eye."""
        cv2.line(rims, fixed(lx + ux * t0, ly + uy * t0), fixed(lx + ux * t1, ly + uy * t1),
                 255, thick, cv2.LINE_AA, shift)

    # Bridge between the inner rims; temples from the outer rims towards the ears.
    along(half_w, d - half_w)
    reach = rng.uniform(0.25, 0.45) * d
    along(-half_w, -half_w - reach)
    along(d + half_w, d + half_w + reach)
    out = patch.astype(np.float32, copy=True)
    if rng.random() < 0.3:
        # Tinted lenses darken the eyes behind them.
        tint = 1.0 - rng.uniform(0.2, 0.8) * (lenses.astype(np.float32) / 255.0)
        out *= tint[..., None]
    tone = rng.uniform(0, 60) if rng.random() < 0.7 else rng.uniform(150, 235)
    a = (rims.astype(np.float32) / 255.0)[..., None]
    return a * tone + (1.0 - a) * out


STYLES = (ink, pencil, halftone, flat, shadow, dark, covered)


def restyle(patch, side, rng):
    """The patch in one of the styles, picked at random."""
    style = STYLES[rng.integers(len(STYLES))]
    return style(patch, side, rng).astype(np.float32, copy=False)
