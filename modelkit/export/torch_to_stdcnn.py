"""Export of PyTorch modules to "stdcnn" networks, and back (the weights of a
shipped file into its module). The modules whose PyTorch behaviour is made
to match the runtime's live in nets/runtime_layers.py.

Supported modules and the layer each becomes:
  PixelScale         folded into the following convolution (no layer)
  nn.Conv2d          "conv"  (square kernel, same stride and padding both ways)
  CrossConv2d        "conv" with use_cross_conv:1 (middle row + column taps)
  RuntimePool        "pool"  (max or ave, the runtime's output size)
  nn.Linear          "fullconnect" (reads C x H x W in torch's flatten order)
  nn.PReLU           "prelu" (param_level 1 per channel, 0 for a single slope)
  nn.ReLU            "relu"
  nn.Softmax(dim=1)  "softmax"
  nn.Dropout         "dropout"
  Reshape            "reshape"
  nn.Flatten         "flatten" (left out before nn.Linear, which flattens itself)
  Concat             "concat" of its branches along channels
  nn.Sequential      its children in order; nn.Identity: nothing
"""
import numpy as np
import torch
from torch import nn

from modelkit.formats import stdcnn
from modelkit.nets.runtime_layers import Concat, CrossConv2d, PixelScale, Reshape, RuntimePool


def _f32(t):
    return t.detach().cpu().numpy().astype(np.float32).ravel()


class _Exporter:
    def __init__(self, model):
        self.model = model
        self.next_id = 1  # single-input: the first top is blob 1

    def add(self, pairs, bottoms, weights=()):
        self.model.layers.append(stdcnn.Layer(list(pairs), list(bottoms), list(weights)))
        top = self.next_id
        self.next_id += 1
        return top

    def chain(self, modules, blob, shape):
        pending_scale = None
        modules = list(modules)
        for i, m in enumerate(modules):
            nxt = modules[i + 1] if i + 1 < len(modules) else None
            if isinstance(m, nn.Sequential):
                if pending_scale is not None:
                    raise ValueError("PixelScale must be followed directly by a convolution")
                blob, shape = self.chain(m, blob, shape)
            elif isinstance(m, PixelScale):
                pending_scale = m
            elif isinstance(m, nn.Conv2d):
                blob, shape = self.conv(m, blob, shape, pending_scale)
                pending_scale = None
            elif pending_scale is not None:
                raise ValueError("PixelScale must be followed directly by a convolution")
            else:
                blob, shape = self.simple(m, nxt, blob, shape)
        if pending_scale is not None:
            raise ValueError("PixelScale at the end of a chain")
        return blob, shape

    def conv(self, m, blob, shape, scale):
        k = m.kernel_size[0]
        if (m.kernel_size[1] != k or m.stride[0] != m.stride[1] or m.padding[0] != m.padding[1]
                or m.dilation != (1, 1) or m.groups != 1 or isinstance(m.padding, str)):
            raise ValueError("only square, ungrouped, undilated convolutions export")
        cross = isinstance(m, CrossConv2d)
        w = (m.effective_weight() if cross else m.weight).detach().double()
        b = m.bias.detach().double() if m.bias is not None else torch.zeros(m.out_channels, dtype=torch.float64)
        if scale is not None:
            if m.padding[0] != 0:
                raise ValueError("a convolution that pads cannot absorb PixelScale")
            b = b + scale.shift * w.sum(dim=(1, 2, 3))
            w = w * scale.scale
        pairs = [("type", "conv"), ("ksize", k), ("stride", m.stride[0]), ("pad", m.padding[0]),
                 ("map_num", m.out_channels)]
        if cross:
            pairs.append(("use_cross_conv", 1))
        top = self.add(pairs, [blob], [_f32(w), _f32(b)])
        return top, stdcnn.layer_shapes(stdcnn.parse_params(stdcnn.params_text(pairs)), [shape])[1][0]

    def simple(self, m, nxt, blob, shape):
        c, h, w = shape
        if isinstance(m, nn.Identity):
            return blob, shape
        if isinstance(m, nn.Flatten) and isinstance(nxt, nn.Linear):
            return blob, shape
        if isinstance(m, Concat):
            tops, shapes = zip(*[self.chain([br], blob, shape) for br in m.branches])
            pairs = [("type", "concat"), ("concat_dim", 1)]
            top = self.add(pairs, tops)
            return top, (sum(s[0] for s in shapes), shapes[0][1], shapes[0][2])
        if isinstance(m, RuntimePool):
            pairs = [("type", "pool"), ("ksize", m.ksize), ("ksize_w", m.ksize), ("ksize_h", m.ksize),
                     ("stride", m.stride), ("pad", m.pad), ("pool", m.method)]
            weights = []
        elif isinstance(m, nn.Linear):
            if m.in_features != c * h * w:
                raise ValueError("linear layer of %d inputs on %s" % (m.in_features, shape))
            pairs = [("type", "fullconnect"), ("node_num", m.out_features)]
            bias = m.bias if m.bias is not None else torch.zeros(m.out_features)
            weights = [_f32(m.weight), _f32(bias)]
        elif isinstance(m, nn.PReLU):
            n = m.weight.numel()
            if n == 1:
                pairs = [("type", "prelu"), ("param_level", 0), ("channels", 1), ("height", 1), ("width", 1)]
            elif n == c:
                pairs = [("type", "prelu"), ("param_level", 1), ("channels", c), ("height", 1), ("width", 1)]
            else:
                raise ValueError("PReLU of %d slopes on %d channels" % (n, c))
            weights = [_f32(m.weight)]
        elif isinstance(m, nn.ReLU):
            pairs, weights = [("type", "relu")], []
        elif isinstance(m, nn.Dropout):
            pairs, weights = [("type", "dropout")], []
        elif isinstance(m, nn.Softmax):
            if m.dim != 1:
                raise ValueError("the runtime's softmax runs over channels (dim=1)")
            pairs, weights = [("type", "softmax")], []
        elif isinstance(m, nn.Flatten):
            pairs, weights = [("type", "flatten")], []
        elif isinstance(m, Reshape):
            pairs = [("type", "reshape"), ("reshape_dim1", 1), ("reshape_dim2", m.dims[0]),
                     ("reshape_dim3", m.dims[1]), ("reshape_dim4", m.dims[2])]
            weights = []
        else:
            raise ValueError("no runtime layer for %s" % type(m).__name__)
        top = self.add(pairs, [blob], weights)
        new_shape = stdcnn.layer_shapes(stdcnn.parse_params(stdcnn.params_text(pairs)), [shape])[1][0]
        return top, new_shape


def export_model(module, input_shape):
    """stdcnn.Model (single-input variant) of a module run on one item of
    input_shape (channels, height, width); the last layer's top is the output."""
    c, h, w = input_shape
    model = stdcnn.Model(c, h, w, [], [])
    ex = _Exporter(model)
    top, _ = ex.chain([module], 0, tuple(input_shape))
    if top == 0:
        raise ValueError("nothing to export")
    model.outputs = [top]
    return model


def export_to_file(module, input_shape, path):
    model = export_model(module, input_shape)
    stdcnn.write(model, path)
    return model


WEIGHTED = (nn.Conv2d, nn.Linear, nn.PReLU)


def weighted_layer_count(module):
    """How many layers with weights `module` exports: its convolutions, fully
    connected layers and PReLUs."""
    return sum(1 for m in module.modules() if isinstance(m, WEIGHTED))


def load_exported_weights(module, path):
    """Puts the weights of a single-input file written by export_to_file back
    into `module` (the same architecture), undoing the PixelScale folding:
    the way to fine-tune a shipped network whose checkpoint is gone."""
    layers = [l for l in stdcnn.read(path).layers if l.weights]
    targets, scales, pending = [], [], None
    for m in module.modules():
        if isinstance(m, PixelScale):
            pending = m
        elif isinstance(m, WEIGHTED):
            targets.append(m)
            scales.append(pending if isinstance(m, nn.Conv2d) else None)
            pending = None
    if len(targets) != len(layers):
        raise ValueError("%s has %d weighted layers, the module %d" % (path, len(layers), len(targets)))
    with torch.no_grad():
        for m, scale, layer in zip(targets, scales, layers):
            w = torch.from_numpy(np.asarray(layer.weights[0], np.float64).copy()).reshape(m.weight.shape)
            if scale is not None:
                w = w / scale.scale
            m.weight.copy_(w)
            if len(layer.weights) > 1 and m.bias is not None:
                b = torch.from_numpy(np.asarray(layer.weights[1], np.float64).copy())
                if scale is not None:
                    b = b - scale.shift * w.sum(dim=(1, 2, 3))
                m.bias.copy_(b)
    return module
