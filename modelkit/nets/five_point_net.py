"""The five-point landmark network: 60 x 60 grey bytes in, ten values out
(x0, y0, ..., x4, y4 in crop units -1..1).

The runtime feeds the raw bytes 0..255 as floats. The network starts with a
fixed PixelScale (x / 255 - 0.5) that the exporter folds into the first
convolution's weights and bias, which is exact because that convolution has
no zero padding (a padded border would otherwise see 0 instead of -0.5).

Two sets of widths share one layout: "standard" (the first shipped file,
about 7.3 M multiply-adds) and "wide" (about 2.1 times as many).
"""
import torch
from torch import nn

from modelkit.nets.growth import grown_weight
from modelkit.nets.runtime_layers import PixelScale, RuntimePool

# Channels of the four convolutions, then the hidden fullconnect's units.
WIDTHS = {"standard": (16, 32, 64, 64, 128), "wide": (24, 48, 96, 96, 256)}


def five_point_net(widths=WIDTHS["standard"]):
    c1, c2, c3, c4, hidden = widths
    return nn.Sequential(
        PixelScale(1.0 / 255.0, -0.5),
        nn.Conv2d(1, c1, 5),            # 60 -> 56
        nn.PReLU(c1),
        RuntimePool(2, 2, "max"),       # 56 -> 28
        nn.Conv2d(c1, c2, 3),           # 28 -> 26
        nn.PReLU(c2),
        RuntimePool(2, 2, "max"),       # 26 -> 13
        nn.Conv2d(c2, c3, 3),           # 13 -> 11
        nn.PReLU(c3),
        RuntimePool(2, 2, "max"),       # 11 -> 6 (last window covers one row)
        nn.Conv2d(c3, c4, 3),           # 6 -> 4
        nn.PReLU(c4),
        nn.Flatten(),
        nn.Linear(c4 * 4 * 4, hidden),
        nn.PReLU(hidden),
        nn.Linear(hidden, 10),
    )


def widths_of(model):
    """The widths a five_point_net was built with."""
    convs = [m for m in model if isinstance(m, nn.Conv2d)]
    hidden = [m for m in model if isinstance(m, nn.Linear)][0]
    return tuple(c.out_channels for c in convs) + (hidden.out_features,)


def widths_of_file(path):
    """The widths of an exported five-point file (its convolutions' and first
    fullconnect's output counts), so that a shipped file of either width
    loads into the right network."""
    from modelkit.formats import stdcnn
    layers = stdcnn.read(path).layers
    convs = [int(l.param("map_num")) for l in layers if l.type == "conv"]
    hidden = [int(l.param("node_num")) for l in layers if l.type == "fullconnect"]
    if len(convs) != 4 or len(hidden) != 2:
        raise ValueError("%s is not a five-point network (%d convolutions, %d fullconnects)"
                         % (path, len(convs), len(hidden)))
    return tuple(convs) + (hidden[0],)


def load_network(path):
    """The five_point_net of a checkpoint (.pt) or an exported file (.dat),
    at its own widths, with its weights."""
    if not path.endswith(".dat"):
        return load_checkpoint_model(path)
    from modelkit.export.torch_to_stdcnn import load_exported_weights
    return load_exported_weights(five_point_net(widths_of_file(path)), path).eval()


def widened(model, widths=WIDTHS["wide"]):
    """A five_point_net of larger `widths` with the weights of `model`: each
    layer keeps its units and gains new ones (fresh random weights at half
    the usual scale) that the next layer gives zero weight, so the outputs
    are those of `model` to the float; training then puts them to use."""
    old_w = widths_of(model)
    if any(n < o for n, o in zip(widths, old_w)):
        raise ValueError("widths %s are not all at least %s" % (widths, old_w))
    out = five_point_net(widths)
    old_layers = [m for m in model if isinstance(m, (nn.Conv2d, nn.Linear, nn.PReLU))]
    new_layers = [m for m in out if isinstance(m, (nn.Conv2d, nn.Linear, nn.PReLU))]
    hidden = [m for m in out if isinstance(m, nn.Linear)][0]
    with torch.no_grad():
        for mine, theirs in zip(new_layers, old_layers):
            if isinstance(mine, nn.PReLU):
                # New units keep their fresh slope.
                mine.weight[:theirs.weight.shape[0]] = theirs.weight
                continue
            old, fresh = theirs.weight, mine.weight * 0.5
            if mine is hidden:
                # It reads channel c, cell k at c * 16 + k: grown per channel,
                # the old channels' columns first, as in the old layer.
                old, fresh = old.view(old.shape[0], -1, 16), fresh.view(fresh.shape[0], -1, 16)
            mine.weight.copy_(grown_weight(old, fresh.shape, fresh).view_as(mine.weight))
            mine.bias.zero_()
            mine.bias[:theirs.bias.shape[0]] = theirs.bias
    return out


def load_checkpoint_model(path):
    state = torch.load(path, map_location="cpu")
    model = five_point_net(state.get("widths", WIDTHS["standard"]))
    model.load_state_dict(state["model"])
    model.eval()
    return model
