"""Reader and writer of "stdcnn" network files, byte for byte as the library's
loader reads them.

Layout (all little-endian int32 / float32):
  magic length, magic "stdcnn", input channels, height, width,
  [info size: two-input variant only], layer count N,
  N bottom lists (k, then k blob ids), output count M, M output ids,
  N records (text length, "key:value," text, weights flag, weight floats),
  terminator 0.

Blob ids: 0 is the image, 1 the information input of the two-input variant;
then every layer's tops in record order. The file does not store weight
counts: the reader derives them, like the library, from each layer's
parameters and the shapes of its bottoms (see layer_shapes).
"""
import math
import struct
from dataclasses import dataclass, field

import numpy as np

MAGIC = b"stdcnn"
MAX_TEXT = 1023


@dataclass
class Layer:
    params: list                 # [(key, value), ...], "type" first
    bottoms: list                # blob ids
    weights: list = field(default_factory=list)  # float32 arrays, in file order

    @property
    def type(self):
        return dict(self.params)["type"]

    def param(self, key, default=None):
        return parse_params(params_text(self.params)).get(key, default)


@dataclass
class Model:
    channels: int
    height: int
    width: int
    layers: list
    outputs: list
    two_inputs: bool = False
    info_size: int = 3


def params_text(pairs):
    text = "".join("%s:%s," % (k, v) for k, v in pairs)
    for k, v in pairs:
        if not str(k) or not str(v) or any(c in str(k) + str(v) for c in ":,"):
            raise ValueError("parameter %r:%r cannot be stored" % (k, v))
    return text


def parse_params(text):
    """The library's parameter parser: pairs up to the first malformed one,
    the first value of a repeated key wins, no "type" key empties the map."""
    out = {}
    rest = text
    while rest:
        colon, comma = rest.find(":"), rest.find(",")
        if colon <= 0 or comma < 0 or comma < colon + 2:
            break
        out.setdefault(rest[:colon], rest[colon + 1:comma])
        rest = rest[comma + 1:]
    return out if "type" in out else {}


def _atoi(text):
    """C atoi: leading blanks, optional sign, digits; 0 when none."""
    s = text.lstrip(" \t\n\v\f\r")
    n, i, sign = 0, 0, 1
    if i < len(s) and s[i] in "+-":
        sign = -1 if s[i] == "-" else 1
        i += 1
    while i < len(s) and s[i].isdigit():
        n = n * 10 + int(s[i])
        i += 1
    return sign * n


def _cdiv(a, b):
    """32-bit C division, truncating toward zero."""
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b >= 0) else -q


def pool_output_size(size, ksize, stride, pad):
    """The runtime's pooling output size: float32 division, ceiling, then the
    correction that keeps the last window from starting in the padding."""
    q = np.float32(size - ksize + 2 * pad) / np.float32(stride)
    out = int(np.float32(math.ceil(float(q))) + np.float32(1.0))
    if pad > 0 and (out - 1) * stride >= size + pad:
        out -= 1
    return out


def layer_shapes(params, bottom_shapes):
    """(weight blob counts, top shapes) of one layer as the runtime sets it up.
    Shapes are (channels, height, width). Raises ValueError where the runtime's
    set-up would fail."""
    t = params.get("type")
    i = lambda k, d=None: _atoi(params[k]) if k in params else d  # noqa: E731
    if t in ("relu", "sigmoid", "tanh", "dropout", "softmax", "lrn", "l2norm"):
        return [], [bottom_shapes[0]]
    c, h, w = bottom_shapes[0]
    if t == "conv":
        k, s, p, m = i("ksize"), i("stride", 1), i("pad", 0), i("map_num")
        oh, ow = _cdiv(h + 2 * p - k, s) + 1, _cdiv(w + 2 * p - k, s) + 1
        if min(oh, ow, m, k) <= 0:
            raise ValueError("conv cannot be set up on %s" % (bottom_shapes[0],))
        return [m * c * k * k, m], [(m, oh, ow)]
    if t == "pool":
        k = i("ksize")
        kw, kh = i("ksize_w") or k, i("ksize_h") or k
        s, p = i("stride", k), i("pad", 0)
        if s <= 0:
            raise ValueError("pool stride must be positive")
        oh, ow = pool_output_size(h, kh, s, p), pool_output_size(w, kw, s, p)
        if min(oh, ow) <= 0:
            raise ValueError("pool cannot be set up on %s" % (bottom_shapes[0],))
        return [], [(c, oh, ow)]
    if t == "fullconnect":
        n = i("node_num")
        return [n * c * h * w, n], [(n, 1, 1)]
    if t == "prelu":
        return [i("channels") * i("height") * i("width")], [bottom_shapes[0]]
    if t == "flatten":
        return [], [(c * h * w, 1, 1)]
    if t == "concat":
        if i("concat_dim") != 1 or any(b[1:] != (h, w) for b in bottom_shapes):
            raise ValueError("concat cannot be set up")
        return [], [(sum(b[0] for b in bottom_shapes), h, w)]
    if t == "reshape":
        dims = [i("reshape_dim2"), i("reshape_dim3"), i("reshape_dim4")]
        new, prod, infer = list(bottom_shapes[0]), 1, None
        for j, d in enumerate(dims):
            if d == -1:
                if infer is not None:
                    raise ValueError("reshape infers two dimensions")
                infer = j
            else:
                new[j] = new[j] if d == 0 else d
                prod *= new[j]
        total = c * h * w
        if total % prod:
            raise ValueError("reshape cannot divide the element count")
        if infer is not None:
            new[infer] = total // prod
        return [], [tuple(new)]
    if t == "frcnnproposal":
        if bottom_shapes[1][0] % 4:
            raise ValueError("frcnnproposal needs deltas in groups of four channels")
        return [], [(5, 1, 1)]
    if t == "roipooling":
        return [], [(c, i("pooled_h"), i("pooled_w"))]
    raise ValueError("layer type %r has no shape rule here" % t)


def _text_bytes(pairs):
    raw = params_text(pairs).encode()
    if not 1 <= len(raw) <= MAX_TEXT:
        raise ValueError("parameter text of %d bytes" % len(raw))
    return raw


def serialize(model):
    """Bytes of a Model. Checks the wiring and every weight count against the
    shapes the runtime will derive, so a file that would not load is refused."""
    shapes = [(model.channels, model.height, model.width)]
    if model.two_inputs:
        shapes.append((model.info_size, 1, 1))
    out = [struct.pack("<i", len(MAGIC)), MAGIC,
           struct.pack("<3i", model.channels, model.height, model.width)]
    if model.two_inputs:
        out.append(struct.pack("<i", model.info_size))
    out.append(struct.pack("<i", len(model.layers)))
    for layer in model.layers:
        out.append(struct.pack("<i%di" % len(layer.bottoms), len(layer.bottoms), *layer.bottoms))
    out.append(struct.pack("<i%di" % len(model.outputs), len(model.outputs), *model.outputs))
    for n, layer in enumerate(model.layers):
        raw = _text_bytes(layer.params)
        if any(b < 0 or b >= len(shapes) for b in layer.bottoms):
            raise ValueError("layer %d reads a blob that does not exist yet" % n)
        counts, tops = layer_shapes(parse_params(raw.decode()), [shapes[b] for b in layer.bottoms])
        got = [int(np.asarray(w).size) for w in layer.weights]
        if layer.weights and got != counts:
            raise ValueError("layer %d (%s): weight counts %s, the runtime expects %s"
                             % (n, layer.type, got, counts))
        if counts and not layer.weights:
            raise ValueError("layer %d (%s) needs weights %s" % (n, layer.type, counts))
        shapes.extend(tops)
        out.append(struct.pack("<i", len(raw)) + raw)
        if layer.weights:
            out.append(struct.pack("<i", 1))
            for w in layer.weights:
                out.append(np.ascontiguousarray(w, dtype="<f4").tobytes())
        else:
            out.append(struct.pack("<i", 0))
    if any(o < 0 or o >= len(shapes) for o in model.outputs):
        raise ValueError("an output id names no blob")
    out.append(struct.pack("<i", 0))
    return b"".join(out)


def write(model, path):
    with open(path, "wb") as f:
        f.write(serialize(model))


class _Bytes:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def take(self, n):
        if self.pos + n > len(self.data):
            raise ValueError("file ends early at byte %d" % self.pos)
        chunk = self.data[self.pos:self.pos + n]
        self.pos += n
        return chunk

    def i32(self):
        return struct.unpack("<i", self.take(4))[0]

    def at_end(self):
        return self.pos >= len(self.data)


def parse(data, two_inputs=False):
    """Model from bytes, following the library's loader step by step. Raises
    ValueError where the loader would fail."""
    r = _Bytes(data)
    n = r.i32()
    if not 1 <= n <= MAX_TEXT:
        raise ValueError("magic length %d" % n)
    if r.take(n).split(b"\0", 1)[0] != MAGIC:
        raise ValueError("not a stdcnn file")
    c, h, w = r.i32(), r.i32(), r.i32()
    info = r.i32() if two_inputs else 3
    shapes = [(c, h, w)] + ([(info, 1, 1)] if two_inputs else [])
    bottoms = [[r.i32() for _ in range(r.i32())] for _ in range(r.i32())]
    outputs = [r.i32() for _ in range(r.i32())]
    layers = []
    while not r.at_end():
        length = r.i32()
        if length <= 0:
            break
        if length > MAX_TEXT:
            raise ValueError("record %d: text length %d" % (len(layers), length))
        text = r.take(length).split(b"\0", 1)[0].decode("latin-1")
        params = parse_params(text)
        if not params:
            raise ValueError("record %d has no parameters" % len(layers))
        if len(layers) >= len(bottoms):
            raise ValueError("more records than layers")
        ids = bottoms[len(layers)]
        if any(b < 0 or b >= len(shapes) for b in ids):
            raise ValueError("record %d reads a missing blob" % len(layers))
        counts, tops = layer_shapes(params, [shapes[b] for b in ids])
        shapes.extend(tops)
        weights = []
        if r.i32() > 0:
            weights = [np.frombuffer(r.take(4 * k), "<f4").copy() for k in counts]
        layers.append(Layer(list(params.items()), ids, weights))
    if len(layers) != len(bottoms):
        raise ValueError("%d records for %d layers" % (len(layers), len(bottoms)))
    return Model(c, h, w, layers, outputs, two_inputs, info)


def read(path, two_inputs=False):
    with open(path, "rb") as f:
        return parse(f.read(), two_inputs)


def blob_shapes(model):
    """Shapes of every blob id, as the runtime sets them up."""
    shapes = [(model.channels, model.height, model.width)]
    if model.two_inputs:
        shapes.append((model.info_size, 1, 1))
    for layer in model.layers:
        shapes.extend(layer_shapes(parse_params(params_text(layer.params)),
                                   [shapes[b] for b in layer.bottoms])[1])
    return shapes
