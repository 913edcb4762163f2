"""The face detector network: a strided-convolution backbone to a stride-16
(layout "s16") or stride-8 (layout "s8", the shipped one) feature map, a
proposal head scored on one anchor per cell, and a second stage on
ROI-pooled features.

Layout "s16" (two inputs: image planes minus the BGR means, and the
(height, width, scale) triple):

  image -> conv 4x4/4 16 -> relu -> conv 3x3/2 32 -> relu -> cross 5x5 32
        -> relu -> conv 3x3/2 64 -> relu -> cross 3x3 64 -> relu
        -> cross 5x5 64 -> relu -> cross 5x5 64 -> relu          = features
  features -> conv 1x1 18 -> reshape (2, -1, 0) -> softmax -> reshape (18, -1, 0)
  features -> conv 1x1 36                              (anchor box deltas)
  scores, deltas, info -> frcnnproposal -> roipooling 4x4 on features
        -> fullconnect 128 -> relu -> fullconnect 8   (output 0: box deltas)
                                   -> fullconnect 2 -> softmax (output 1)

The second stage comes in two sizes (HEADS): "small" as above, and "wide",
roipooling 6x6 -> 2 x (fullconnect 256 -> relu) -> the same two outputs,
which sees more of each candidate and weighs it with more capacity, at
about 36 M multiply-adds for the 100 candidates of a photo; and "neck",
"wide" reading its ROIs from a map of its own: conv 3x3 64 -> relu on the
features (110 M multiply-adds at 640 x 480), which only the second stage
reads, so that it can learn features of its own from frozen proposals
(with_neck() grows one from a trained "wide" second stage).

Only "conv", "relu", "reshape" and "softmax" sit ahead of ROI pooling, so
the network follows every image size. The proposal layer has nine fixed
anchors; this network scores only anchor 3 (the 128 x 128 square) and gives
the other eight a constant background score, so they never come first.
Every face size is regressed from that one anchor: dw = log(w / 128).

The s16 layout's cross 5x5 layer at stride 8 came after its first trained
files, which have no such layer. It starts as the identity (relu passes
non-negative inputs unchanged), so that a network trained without it, read back by
load_exported, is fine-tuned from exactly what it did: it keeps the larger
faces and can learn more detail for the small ones. While it is the
identity, the export leaves it out.

Layout "s8" (Detector("s8")) puts the proposal head at stride 8, for the
faces that a photo shrunk to 640 px makes tiny, with thinner layers (311 M
multiply-adds at 640 x 480 against 176 M):

  image -> conv 4x4/4 16 -> relu -> conv 3x3/2 32 -> relu -> conv 3x3 32
        -> relu -> 5 x (cross 5x5 32 -> relu)                     = features
  (receptive field 188 px), the same heads on 32 channels, ROI pooling at 1/8.

Layout "s8d" is s8 with seven cross layers instead of five (a receptive
field of 252 px for 188), grown from a trained s8 file by deepened().

Layout "s8w" is s8d with 40 channels after the stem instead of 32, grown
from a trained s8d file by widened().

Layout "s8f" is s8 with conv 3x3/2 16 -> relu -> conv 3x3/2 16 in place of
the conv 4x4/4 16 (tried, not shipped: see modelkit/EXPERIMENTS.md).

Layouts "s4" and "s4n" keep s8's layers at stride 4 (c2 without its stride),
32 and 16 channels wide after the stem: they were exported untrained to time
what proposals at stride 4 would cost (1,203 M and 344 M multiply-adds at
640 x 480).
"""

import numpy as np
import torch
import torch.nn.functional as F
from torch import nn
from torchvision.ops import roi_pool

from modelkit.formats import stdcnn
from modelkit.nets.growth import grown_weight
from modelkit.nets.runtime_layers import CrossConv2d

MEANS_BGR = (102.9801, 115.9465, 122.7717)
ANCHOR = 3                 # the 128 x 128 anchor of the proposal layer's table
ANCHOR_BOX = (-56.0, -56.0, 71.0, 71.0)
# Second stages: ROI pooling side, widths of the hidden fullconnect layers,
# and the neck (output channels, kernel side) or None: a convolution with
# relu between the features and the ROI pooling that only the second stage
# reads.
HEADS = {"small": (4, (128,), None), "wide": (6, (256, 256), None), "neck": (6, (256, 256), (64, 3))}
INPUT_SCALE = 1.0 / 64.0   # folded into the first convolution (its zero padding scales alike)
# Smallest proposal side. Faces of photos shrunk to 640 pixels come down
# to canonical boxes of about 14 px. Smaller proposals span less than two
# feature cells; on the held-out photos those of 12-13 px made 4 false
# detections and found no face (the weights shipped before the last
# fine-tune: the same 162 faces with 6 false detections at 14, 10 at 12).
MIN_BOX = 14


def proposal_params(stride):
    return dict(rpn_pre_nms_top_n=300, rpn_post_nms_top_n=100,
                rpn_nms_thresh=0.7, rpn_min_size=MIN_BOX, feat_stride=stride)


def anchor_centres(height, width, stride):
    """Anchor-3 centres (cx, cy) and size of every cell, exactly as the
    proposal layer decodes: w = x2 - x1 + 1, cx = x1 + 0.5 w."""
    x1, y1, x2, y2 = ANCHOR_BOX
    w, h = x2 - x1 + 1.0, y2 - y1 + 1.0
    xs = x1 + 0.5 * w + stride * np.arange(width)
    ys = y1 + 0.5 * h + stride * np.arange(height)
    return xs, ys, w


def feature_size(n, backbone):
    """Feature-map size of an input side (the runtime's conv size rule)."""
    for c in backbone.convs():
        n = (n + 2 * c.padding[0] - c.kernel_size[0]) // c.stride[0] + 1
    return n


def _identity_weight(conv):
    """The kernel of a square convolution that passes its input through."""
    w = torch.zeros_like(conv.weight)
    c = conv.kernel_size[0] // 2
    for i in range(min(conv.out_channels, conv.in_channels)):
        w[i, i, c, c] = 1.0
    return w


def is_identity(conv):
    """True when a convolution passes its input through unchanged (as
    identity_cross leaves it)."""
    w = conv.effective_weight() if isinstance(conv, CrossConv2d) else conv.weight
    return (conv.in_channels == conv.out_channels and bool(torch.equal(w, _identity_weight(conv)))
            and not bool(conv.bias.any()))


def identity_cross(conv):
    """Sets a square-kernel convolution with as many outputs as inputs to
    pass its input through unchanged."""
    with torch.no_grad():
        conv.weight.copy_(_identity_weight(conv))
        conv.bias.zero_()


class _Backbone(nn.Module):
    """What the layouts share: relu after every convolution of convs()."""

    def optional(self):
        """The layer a file may lack (it then stands for the identity)."""
        return None

    def stem(self):
        """The convolutions ahead of c2, the first stride-8 one."""
        return [self.c1]

    def stem_output(self, x):
        """The stem's output for an input already scaled by INPUT_SCALE."""
        for c in self.stem():
            x = F.relu(c(x))
        return x

    def after_stem(self, x):
        """The features from the stem's output."""
        for c in self.convs()[len(self.stem()):]:
            x = F.relu(c(x))
        return x

    def forward(self, x):
        return self.after_stem(self.stem_output(x * INPUT_SCALE))


class Backbone(_Backbone):
    stride, channels = 16, 64

    def __init__(self):
        super().__init__()
        self.c1 = nn.Conv2d(3, 16, 4, 4, 0)
        self.c2 = nn.Conv2d(16, 32, 3, 2, 1)
        self.c2b = CrossConv2d(32, 32, 5, 1, 2)
        self.c3 = nn.Conv2d(32, 64, 3, 2, 1)
        self.c4 = CrossConv2d(64, 64, 3, 1, 1)
        self.c5 = CrossConv2d(64, 64, 5, 1, 2)
        self.c6 = CrossConv2d(64, 64, 5, 1, 2)
        identity_cross(self.c2b)

    def convs(self):
        return self.stem() + [self.c2, self.c2b, self.c3, self.c4, self.c5, self.c6]

    def optional(self):
        return self.c2b


class Backbone8(_Backbone):
    stride, channels = 8, 32
    c2_stride = 2   # the stem's stride 4 times this is the feature stride
    crosses_count = 5

    def __init__(self):
        super().__init__()
        c = self.channels
        self.c1 = nn.Conv2d(3, 16, 4, 4, 0)
        self.c2 = nn.Conv2d(16, c, 3, self.c2_stride, 1)
        self.c3 = nn.Conv2d(c, c, 3, 1, 1)
        self.crosses = nn.ModuleList(CrossConv2d(c, c, 5, 1, 2) for _ in range(self.crosses_count))

    def convs(self):
        return self.stem() + [self.c2, self.c3] + list(self.crosses)


class Backbone8Fine(Backbone8):
    """Layout "s8f": s8 with its 4x4/4 first convolution split into two
    overlapping 3x3/2 ones. The 4x4/4 one reads each 4 x 4 block once, so a
    face of a dozen pixels lands on three or four cells whose content
    jumps with the face's offset in the block; the pair's cells see 7 x 7
    pixels at a step of 4, so neighbouring views overlap (77 M
    multiply-adds at 640 x 480 against 15 M)."""

    def __init__(self):
        super().__init__()
        del self.c1
        self.c1a = nn.Conv2d(3, 16, 3, 2, 1)
        self.c1b = nn.Conv2d(16, 16, 3, 2, 1)

    def stem(self):
        return [self.c1a, self.c1b]


class Backbone8Deep(Backbone8):
    """Layout "s8d": s8 with seven cross 5x5 layers instead of five, which
    widens the receptive field from 188 to 252 px (faces of 80 px and more
    in the 640-px image are seen whole) for 88 M more multiply-adds at
    640 x 480. deepened() starts it from a trained s8 network, the two added
    layers as the identity, so it begins by doing exactly what s8 did."""
    crosses_count = 7


def deepened(det):
    """An s8d Detector with the weights of an s8 one: its five cross layers
    first, the two after them passing their input through."""
    if det.layout != "s8":
        raise ValueError("only an s8 detector can be deepened, not %s" % det.layout)
    out = Detector("s8d", det.head_name)
    theirs = det.state_dict()
    mine = out.state_dict()
    for k, v in theirs.items():
        mine[k] = v.clone()
    out.load_state_dict(mine)
    for conv in out.backbone.crosses[len(det.backbone.crosses):]:
        identity_cross(conv)
    return out


class Backbone8Wide(Backbone8Deep):
    """Layout "s8w": s8d with 40 channels after the stem instead of 32
    (about 1.5 times the multiply-adds of its cross layers). widened() grows
    it from a trained s8d network so that it starts by doing exactly what
    that one did."""
    channels = 40


def widened(det, layout="s8w"):
    """A Detector of the wider layout with the weights of a trained s8d one:
    every convolution after the stem keeps its filters and gains new ones
    (fresh random weights, at half the usual scale); whatever reads
    the features (the next convolution, the proposal head, the second
    stage's first layer) gives the new channels zero weight. The outputs
    are those of `det` to the float; training then puts the new channels to
    use."""
    if det.layout != "s8d":
        raise ValueError("only an s8d detector can be widened, not %s" % det.layout)
    out = Detector(layout, det.head_name)
    with torch.no_grad():
        for mine, theirs in zip(out.backbone.convs(), det.backbone.convs()):
            mine.weight.copy_(grown_weight(theirs.weight, mine.weight.shape, mine.weight * 0.5))
            mine.bias.zero_()
            mine.bias[:theirs.bias.shape[0]] = theirs.bias
        for mine, theirs in ((out.rpn_score, det.rpn_score), (out.rpn_delta, det.rpn_delta)):
            mine.weight.copy_(grown_weight(theirs.weight, mine.weight.shape, mine.weight))
            mine.bias.copy_(theirs.bias)
        _grow_second_stage(out, det)
    return out


def _grow_second_stage(out, det):
    """Copies det's second stage into out's, whose pooled map has det's
    channels first and may have more: the first hidden layer gives the
    added channels zero weight."""
    # The first hidden layer reads channel c, bin b at c * bins + b.
    bins = det.pooled * det.pooled
    first, old_first = out.hidden[0], det.hidden[0]
    w = torch.zeros_like(first.weight).view(first.out_features, -1, bins)
    old = old_first.weight.view(old_first.out_features, -1, bins)
    w[:, :old.shape[1]] = old
    first.weight.copy_(w.view_as(first.weight))
    first.bias.copy_(old_first.bias)
    for mine, theirs in zip(list(out.hidden[1:]) + [out.cls, out.reg], list(det.hidden[1:]) + [det.cls, det.reg]):
        mine.load_state_dict(theirs.state_dict())


def with_neck(det, head="neck"):
    """A Detector with det's first stage and a second stage with a neck,
    grown from det's neckless one: the neck's first outputs pass the features
    through (they are non-negative, so relu keeps them), its other outputs
    start from fresh weights at half the usual scale and have no say yet,
    so the outputs are det's to the float. Refitting then puts the neck to
    use."""
    if det.neck is not None or HEADS[head][:2] != HEADS[det.head_name][:2] or HEADS[head][2] is None:
        raise ValueError("a %s second stage cannot grow into %s" % (det.head_name, head))
    out = Detector(det.layout, head)
    c = det.backbone.channels
    if out.neck.out_channels < c:
        raise ValueError("the neck of %s is narrower than the features" % head)
    with torch.no_grad():
        for mine, theirs in zip(out.first_stage(), det.first_stage()):
            mine.load_state_dict(theirs.state_dict())
        out.neck.weight.mul_(0.5)
        out.neck.weight[:c] = _identity_weight(out.neck)[:c]
        out.neck.bias.zero_()
        _grow_second_stage(out, det)
    return out.eval()


class Backbone4(Backbone8):
    """s8's layers with the proposal head at stride 4: c2 keeps the stem's
    stride, so every layer after it sees four times the cells."""
    stride, c2_stride = 4, 1


class Backbone4Narrow(Backbone4):
    """Layout "s4n": s4 at half the width, about s8's multiply-adds."""
    channels = 16


BACKBONES = {"s16": Backbone, "s8": Backbone8, "s8f": Backbone8Fine, "s8d": Backbone8Deep, "s8w": Backbone8Wide,
             "s4": Backbone4, "s4n": Backbone4Narrow}


class Detector(nn.Module):
    def __init__(self, layout="s16", head="small"):
        super().__init__()
        self.layout, self.head_name = layout, head
        self.backbone = BACKBONES[layout]()
        c = self.backbone.channels
        self.stride = self.backbone.stride
        self.rpn_score = nn.Conv2d(c, 1, 1)     # face logit of anchor 3
        self.rpn_delta = nn.Conv2d(c, 4, 1)     # its dx, dy, dw, dh
        self.pooled, widths, neck = HEADS[head]
        self.neck = None
        if neck is not None:
            channels, kernel = neck
            self.neck = nn.Conv2d(c, channels, kernel, 1, kernel // 2)
            c = channels
        sizes = (c * self.pooled * self.pooled,) + widths
        self.hidden = nn.ModuleList(nn.Linear(a, b) for a, b in zip(sizes, sizes[1:]))
        self.cls = nn.Linear(sizes[-1], 2)
        self.reg = nn.Linear(sizes[-1], 4)
        nn.init.constant_(self.rpn_score.bias, -4.0)

    def first_stage(self):
        """The modules the proposals come from."""
        return [self.backbone, self.rpn_score, self.rpn_delta]

    def rpn(self, x):
        f = self.backbone(x)
        return f, self.rpn_score(f)[:, 0], self.rpn_delta(f)

    def pooled_map(self, features):
        """What the ROI pooling reads: the features, through the neck when
        the second stage has one."""
        return features if self.neck is None else F.relu(self.neck(features))

    def head(self, features, rois):
        """rois: (R, 5) rows (item, x1, y1, x2, y2) in input pixels."""
        pooled_map = self.pooled_map(features)
        return self.classify(roi_pool(pooled_map, rois, (self.pooled, self.pooled), 1.0 / self.stride).flatten(1))

    def classify(self, pooled):
        """(class logits, box deltas) of ROI-pooled features (R, C * P * P)."""
        h = pooled
        for fc in self.hidden:
            h = F.relu(fc(h))
        return self.cls(h), self.reg(h)


def with_item(boxes):
    """ROI rows (0, x1, y1, x2, y2) of one image's boxes (N, 4): the item
    column in front that the runtime's ROI pooling reads."""
    return torch.cat([torch.zeros(len(boxes), 1), boxes], 1)


def with_head(det, head):
    """A Detector with det's backbone and proposal head and an untrained
    second stage of the given size."""
    out = Detector(det.layout, head)
    for mine, theirs in zip(out.first_stage(), det.first_stage()):
        mine.load_state_dict(theirs.state_dict())
    return out


def apply_deltas(boxes, deltas):
    """The proposal layer's applyBoxDeltas on (N, 4) float tensors."""
    w = boxes[:, 2] - boxes[:, 0] + 1.0
    h = boxes[:, 3] - boxes[:, 1] + 1.0
    cx = boxes[:, 0] + 0.5 * w
    cy = boxes[:, 1] + 0.5 * h
    pcx = cx + deltas[:, 0] * w
    pcy = cy + deltas[:, 1] * h
    pw = torch.exp(deltas[:, 2].clamp(max=6.0)) * w
    ph = torch.exp(deltas[:, 3].clamp(max=6.0)) * h
    return torch.stack([pcx - 0.5 * pw, pcy - 0.5 * ph, pcx + 0.5 * pw, pcy + 0.5 * ph], 1)


def box_targets(boxes, gt):
    """Deltas that take boxes (x1, y1, x2, y2; width x2 - x1 + 1) onto gt
    (x1, y1, x2, y2; width x2 - x1, as the decoding reports it)."""
    w = boxes[:, 2] - boxes[:, 0] + 1.0
    h = boxes[:, 3] - boxes[:, 1] + 1.0
    cx = boxes[:, 0] + 0.5 * w
    cy = boxes[:, 1] + 0.5 * h
    gw = gt[:, 2] - gt[:, 0]
    gh = gt[:, 3] - gt[:, 1]
    gcx = gt[:, 0] + 0.5 * gw
    gcy = gt[:, 1] + 0.5 * gh
    return torch.stack([(gcx - cx) / w, (gcy - cy) / h, torch.log(gw / w), torch.log(gh / h)], 1)


# ---------------------------------------------------------------- export

BACKGROUND_BIAS = 20.0  # softmax(20, -20) leaves the unused anchors at ~4e-18


def _f32(t):
    return np.asarray(t.detach().cpu().numpy() if torch.is_tensor(t) else t, np.float32).ravel()


def export_model(det, height=480, width=640):
    """stdcnn.Model (two-input) of a trained Detector."""
    det = det.eval()
    model = stdcnn.Model(3, height, width, [], [], two_inputs=True, info_size=3)
    layers = model.layers
    next_id = [2]

    def add(pairs, bottoms, weights=()):
        layers.append(stdcnn.Layer(list(pairs), list(bottoms), [_f32(w) for w in weights]))
        next_id[0] += 1
        return next_id[0] - 1

    def conv(m, bottom, scale=1.0):
        cross = isinstance(m, CrossConv2d)
        w = (m.effective_weight() if cross else m.weight).detach().double() * scale
        pairs = [("type", "conv"), ("ksize", m.kernel_size[0]), ("stride", m.stride[0]),
                 ("pad", m.padding[0]), ("map_num", m.out_channels)]
        if cross:
            pairs.append(("use_cross_conv", 1))
        return add(pairs, [bottom], [w, m.bias.detach().double()])

    b = det.backbone
    x = 0
    for i, m in enumerate(b.convs()):
        if m is b.optional() and is_identity(m):
            continue  # it changes nothing (its input is already non-negative): leave it out of the file
        x = conv(m, x, INPUT_SCALE if i == 0 else 1.0)
        x = add([("type", "relu")], [x])
    features = x

    # 18 score channels: 0..8 background, 9..17 face, per anchor. Anchor 3's
    # pair is (0, z): softmax gives sigmoid(z) as its face probability.
    c_in = det.rpn_score.in_channels
    sw = np.zeros((18, c_in), np.float64)
    sb = np.zeros(18, np.float64)
    for a in range(9):
        if a == ANCHOR:
            sw[9 + a] = det.rpn_score.weight.detach().double().numpy().reshape(c_in)
            sb[9 + a] = float(det.rpn_score.bias.detach()[0])
        else:
            sb[a], sb[9 + a] = BACKGROUND_BIAS, -BACKGROUND_BIAS
    score = add([("type", "conv"), ("ksize", 1), ("stride", 1), ("pad", 0), ("map_num", 18)],
                [features], [sw, sb])
    score = add([("type", "reshape"), ("reshape_dim1", 1), ("reshape_dim2", 2),
                 ("reshape_dim3", -1), ("reshape_dim4", 0)], [score])
    score = add([("type", "softmax")], [score])
    score = add([("type", "reshape"), ("reshape_dim1", 1), ("reshape_dim2", 18),
                 ("reshape_dim3", -1), ("reshape_dim4", 0)], [score])

    dw = np.zeros((36, c_in), np.float64)
    db = np.zeros(36, np.float64)
    dw[4 * ANCHOR:4 * ANCHOR + 4] = det.rpn_delta.weight.detach().double().numpy().reshape(4, c_in)
    db[4 * ANCHOR:4 * ANCHOR + 4] = det.rpn_delta.bias.detach().double().numpy()
    delta = add([("type", "conv"), ("ksize", 1), ("stride", 1), ("pad", 0), ("map_num", 36)],
                [features], [dw, db])

    prop = add([("type", "frcnnproposal")] + [(k, v) for k, v in proposal_params(det.stride).items()],
               [score, delta, 1])
    pooled_map = features
    if det.neck is not None:
        pooled_map = add([("type", "relu")], [conv(det.neck, features)])
    hidden = add([("type", "roipooling"), ("pooled_w", det.pooled), ("pooled_h", det.pooled),
                  ("spatial_scale", repr(1.0 / det.stride))], [pooled_map, prop])
    for fc in det.hidden:
        hidden = add([("type", "fullconnect"), ("node_num", fc.out_features)], [hidden], [fc.weight, fc.bias])
        hidden = add([("type", "relu")], [hidden])
    rw = np.zeros((8, det.reg.in_features), np.float64)
    rb = np.zeros(8, np.float64)
    rw[4:] = det.reg.weight.detach().double().numpy()
    rb[4:] = det.reg.bias.detach().double().numpy()
    deltas = add([("type", "fullconnect"), ("node_num", 8)], [hidden], [rw, rb])
    logits = add([("type", "fullconnect"), ("node_num", 2)], [hidden], [det.cls.weight, det.cls.bias])
    probs = add([("type", "softmax")], [logits])
    model.outputs = [deltas, probs]
    return model


def _stride_of(model):
    for layer in model.layers:
        if layer.type == "frcnnproposal":
            return int(layer.param("feat_stride", 16))
    raise ValueError("no proposal layer")


def _head_of(model):
    """The HEADS name of a file's second stage (ROI pooling side, the hidden
    fullconnect widths, the last two fullconnect layers being the outputs;
    a neck is the convolution that export_model writes after the proposal
    layer)."""
    types = [l.type for l in model.layers]
    pooled = [int(l.param("pooled_w", 0)) for l in model.layers if l.type == "roipooling"]
    widths = tuple(int(l.param("node_num", 0)) for l in model.layers if l.type == "fullconnect")[:-2]
    after = model.layers[types.index("frcnnproposal") + 1:] if "frcnnproposal" in types else []
    necks = [(int(l.param("map_num", 0)), int(l.param("ksize", 0))) for l in after if l.type == "conv"]
    neck = necks[0] if len(necks) == 1 else None
    for name, shape in HEADS.items():
        if pooled and len(necks) <= 1 and shape == (pooled[0], widths, neck):
            return name
    raise ValueError("second stage with ROI pooling %s, hidden layers %s and neck %s is none of %s"
                     % (pooled, widths, necks, sorted(HEADS)))


def load_exported(path):
    """A Detector with the weights of an exported file: a layout written by
    export_model (told apart by the proposal layer's stride); a file without
    the optional layer gets the identity there."""
    model = stdcnn.read(path, two_inputs=True)
    weighted = [l for l in model.layers if l.weights]
    stride = _stride_of(model)
    layouts = [k for k, b in BACKBONES.items() if b.stride == stride]
    if not layouts:
        raise ValueError("%s: feature stride %d, no detector layout has it" % (path, stride))
    head = _head_of(model)
    head_layers = 2 + (HEADS[head][2] is not None) + len(HEADS[head][1]) + 2
    for layout in layouts:   # layouts of one stride differ in their convolutions' number or shapes
        det = Detector(layout, head)
        b = det.backbone
        convs = b.convs()
        if len(weighted) == len(convs) + head_layers - 1 and b.optional() is not None:
            convs = [c for c in convs if c is not b.optional()]
        if len(weighted) == len(convs) + head_layers and all(
                np.asarray(l.weights[0]).size == c.weight.numel() for c, l in zip(convs, weighted)):
            break
    else:
        raise ValueError("%s: %d weighted layers, not a detector of this layout" % (path, len(weighted)))

    def put(param, values, rows=None):
        v = torch.from_numpy(np.asarray(values, np.float32).copy())
        if rows is not None:
            v = v.reshape(-1, param[0].numel())[rows]
        with torch.no_grad():
            param.copy_(v.reshape(param.shape))

    for i, (m, layer) in enumerate(zip(convs, weighted)):
        put(m.weight, np.asarray(layer.weights[0]) / (INPUT_SCALE if i == 0 else 1.0))
        put(m.bias, layer.weights[1])
    score, delta = weighted[len(convs):len(convs) + 2]
    reg, cls = weighted[-2:]
    put(det.rpn_score.weight, score.weights[0], [9 + ANCHOR])
    put(det.rpn_score.bias, score.weights[1], [9 + ANCHOR])
    rows = list(range(4 * ANCHOR, 4 * ANCHOR + 4))
    put(det.rpn_delta.weight, delta.weights[0], rows)
    put(det.rpn_delta.bias, delta.weights[1], rows)
    second = weighted[len(convs) + 2:-2]
    if det.neck is not None:
        put(det.neck.weight, second[0].weights[0])
        put(det.neck.bias, second[0].weights[1])
        second = second[1:]
    for fc, layer in zip(det.hidden, second):
        put(fc.weight, layer.weights[0])
        put(fc.bias, layer.weights[1])
    put(det.reg.weight, reg.weights[0], [4, 5, 6, 7])
    put(det.reg.bias, reg.weights[1], [4, 5, 6, 7])
    put(det.cls.weight, cls.weights[0])
    put(det.cls.bias, cls.weights[1])
    return det.eval()


def checkpoint_of(det, weights=None, **extra):
    """The checkpoint record from_checkpoint reads: `weights` (det's own by
    default), the layout and second stage to build them into, and `extra`."""
    return dict(extra, model=det.state_dict() if weights is None else weights,
                layout=det.layout, head=det.head_name)


def from_checkpoint(state):
    """A Detector of a training checkpoint's layout, with its weights
    (checkpoints older than the layouts are s16)."""
    det = Detector(state.get("layout", "s16"), state.get("head", "small"))
    det.load_state_dict(state["model"])
    return det


def load_weights(path):
    """A Detector (in eval mode) from a training checkpoint (.pt) or an
    exported file (.dat)."""
    if path.endswith(".dat"):
        return load_exported(path)
    return from_checkpoint(torch.load(path, map_location="cpu")).eval()
