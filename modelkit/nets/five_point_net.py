"""The five-point landmark network: 60 x 60 grey bytes in, ten values out
(x0, y0, ..., x4, y4 in crop units -1..1).

The runtime feeds the raw bytes 0..255 as floats. The network starts with a
fixed PixelScale (x / 255 - 0.5) that the exporter folds into the first
convolution's weights and bias, which is exact because that convolution has
no zero padding (a padded border would otherwise see 0 instead of -0.5).
"""
import torch
from torch import nn

from modelkit.nets.runtime_layers import PixelScale, RuntimePool


def five_point_net():
    return nn.Sequential(
        PixelScale(1.0 / 255.0, -0.5),
        nn.Conv2d(1, 16, 5),            # 60 -> 56
        nn.PReLU(16),
        RuntimePool(2, 2, "max"),       # 56 -> 28
        nn.Conv2d(16, 32, 3),           # 28 -> 26
        nn.PReLU(32),
        RuntimePool(2, 2, "max"),       # 26 -> 13
        nn.Conv2d(32, 64, 3),           # 13 -> 11
        nn.PReLU(64),
        RuntimePool(2, 2, "max"),       # 11 -> 6 (last window covers one row)
        nn.Conv2d(64, 64, 3),           # 6 -> 4
        nn.PReLU(64),
        nn.Flatten(),
        nn.Linear(64 * 4 * 4, 128),
        nn.PReLU(128),
        nn.Linear(128, 10),
    )


def load_checkpoint_model(path):
    state = torch.load(path, map_location="cpu")
    model = five_point_net()
    model.load_state_dict(state["model"])
    model.eval()
    return model
