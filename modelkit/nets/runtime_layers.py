"""PyTorch modules that behave like the runtime's layers where PyTorch's own
differ: the exporter (export/torch_to_stdcnn.py) turns each into the layer
named in its class comment, and the networks of this folder are built from
them.
"""
import torch
import torch.nn.functional as F
from torch import nn

from modelkit.formats import stdcnn


class PixelScale(nn.Module):
    """x * scale + shift. The runtime feeds raw pixel values; the exporter
    folds this into the next convolution, which must not pad."""

    def __init__(self, scale, shift):
        super().__init__()
        self.scale, self.shift = float(scale), float(shift)

    def forward(self, x):
        return x * self.scale + self.shift


class CrossConv2d(nn.Conv2d):
    """Convolution whose square kernels only use their middle row and middle
    column (the runtime's cross mode). The mask is applied in every forward,
    so the masked-out weights get no gradient and export as they are."""

    def __init__(self, in_channels, out_channels, kernel_size, stride=1, padding=0):
        super().__init__(in_channels, out_channels, kernel_size, stride, padding)
        k = self.kernel_size[0]
        centre = (k - 1) // 2
        mask = torch.zeros(1, 1, k, k)
        mask[..., centre, :] = 1
        mask[..., :, centre] = 1
        self.register_buffer("mask", mask)

    def effective_weight(self):
        return self.weight * self.mask

    def forward(self, x):
        return F.conv2d(x, self.effective_weight(), self.bias, self.stride, self.padding)


class RuntimePool(nn.Module):
    """Max or average pooling with the runtime's output size: rounding up,
    less one when the last window would start inside the padding. This is
    PyTorch's ceil mode; average pooling counts padding in the divisor as
    the runtime does. The output size is checked against the runtime's rule."""

    def __init__(self, ksize, stride=None, method="max", pad=0):
        super().__init__()
        if method not in ("max", "ave"):
            raise ValueError("pool method must be max or ave")
        self.ksize, self.stride = ksize, stride or ksize
        self.method, self.pad = method, pad

    def forward(self, x):
        if self.method == "max":
            y = F.max_pool2d(x, self.ksize, self.stride, self.pad, ceil_mode=True)
        else:
            y = F.avg_pool2d(x, self.ksize, self.stride, self.pad, ceil_mode=True,
                             count_include_pad=True)
        want = [stdcnn.pool_output_size(s, self.ksize, self.stride, self.pad) for s in x.shape[2:]]
        if list(y.shape[2:]) != want:
            raise ValueError("pooling size %s differs from the runtime's %s" % (list(y.shape[2:]), want))
        return y


class Reshape(nn.Module):
    """View as (channels, height, width) per item; 0 keeps a dimension and -1
    infers one, as the runtime's reshape does."""

    def __init__(self, channels, height, width):
        super().__init__()
        self.dims = (channels, height, width)

    def forward(self, x):
        dims = [x.shape[1 + i] if d == 0 else d for i, d in enumerate(self.dims)]
        return x.reshape(x.shape[0], *dims)


class Concat(nn.Module):
    """Runs every branch on the same input and joins them along channels."""

    def __init__(self, *branches):
        super().__init__()
        self.branches = nn.ModuleList(branches)

    def forward(self, x):
        return torch.cat([b(x) for b in self.branches], 1)
