"""The 95-point network with its face check: the 60 x 60 grey warp crop in
(align/geometry.cpp: warpFromFivePoints), two outputs:
  output 0: 190 values x0, y0, ..., x94, y94 in crop units -1..1
  output 1: 2 logits (non-face, face); the library takes the softmax
            probability of "face" and accepts above 0.5.

A shared trunk (convolutions without padding, PReLU, max pooling, one fully
connected layer) feeds two fully connected heads. The runtime returns the
output blobs in the order the file lists them; the exporter lists the points
first. PixelScale (x / 255 - 0.5) is folded into the first convolution.
"""
import torch
from torch import nn

from modelkit.export import torch_to_stdcnn as export
from modelkit.formats import stdcnn
from modelkit.nets.runtime_layers import Concat, PixelScale, RuntimePool


# Channels of the four convolutions and the shared fully connected layer.
WIDTHS = {"standard": (20, 40, 64, 96, 256), "wide": (24, 48, 80, 128, 320)}


class NinetyFiveNet(nn.Module):
    def __init__(self, widths=WIDTHS["standard"]):
        super().__init__()
        c1, c2, c3, c4, hidden = widths
        self.widths = tuple(widths)
        self.trunk = nn.Sequential(
            PixelScale(1.0 / 255.0, -0.5),
            nn.Conv2d(1, c1, 5),            # 60 -> 56
            nn.PReLU(c1),
            RuntimePool(2, 2, "max"),       # 56 -> 28
            nn.Conv2d(c1, c2, 3),           # 28 -> 26
            nn.PReLU(c2),
            RuntimePool(2, 2, "max"),       # 26 -> 13
            nn.Conv2d(c2, c3, 3),           # 13 -> 11
            nn.PReLU(c3),
            RuntimePool(2, 2, "max"),       # 11 -> 6
            nn.Conv2d(c3, c4, 3),           # 6 -> 4
            nn.PReLU(c4),
            nn.Flatten(),
            nn.Linear(c4 * 4 * 4, hidden),
            nn.PReLU(hidden),
        )
        self.points = nn.Linear(hidden, 190)
        self.face = nn.Linear(hidden, 2)

    def forward(self, x):
        h = self.trunk(x)
        return self.points(h), self.face(h)


class Averaged(nn.Module):
    """Several trained 95-point networks as one: their trunks side by side
    (joined by a concat), and two heads that give the mean of the members'
    points and the mean of their logits. Networks trained from different
    starting weights err differently on unseen people, so the mean is better
    than any one of them; the file stays a plain one-input network that the
    library runs in one pass. Exports like NinetyFiveNet (trunk, points, face)."""

    def __init__(self, member_widths):
        super().__init__()
        self.member_widths = [tuple(w) for w in member_widths]
        self.trunk = nn.Sequential(Concat(*[NinetyFiveNet(w).trunk for w in self.member_widths]))
        hidden = sum(w[4] for w in self.member_widths)
        self.points = nn.Linear(hidden, 190)
        self.face = nn.Linear(hidden, 2)

    def forward(self, x):
        h = self.trunk(x)
        return self.points(h), self.face(h)


def average_networks(nets):
    """The Averaged network whose outputs are the mean of `nets`' outputs."""
    merged = Averaged([n.widths for n in nets])
    k = float(len(nets))
    with torch.no_grad():
        for slot, net in zip(merged.trunk[0].branches, nets):
            slot.load_state_dict(net.trunk.state_dict())
        for name in ("points", "face"):
            heads = [getattr(n, name) for n in nets]
            getattr(merged, name).weight.copy_(torch.cat([h.weight for h in heads], 1) / k)
            getattr(merged, name).bias.copy_(sum(h.bias for h in heads) / k)
    merged.eval()
    return merged


class Joined(nn.Module):
    """Both outputs side by side, (N, 192): the order the runtime writes them."""

    def __init__(self, net):
        super().__init__()
        self.net = net

    def forward(self, x):
        return torch.cat(self.net(x), 1)


def export_to_file(net, path):
    """Writes the two-output stdcnn file: trunk, points head, face head;
    outputs listed points first."""
    model = stdcnn.Model(1, 60, 60, [], [])
    ex = export._Exporter(model)
    trunk_top, shape = ex.chain([net.trunk], 0, (1, 60, 60))
    points_top, _ = ex.chain([net.points], trunk_top, shape)
    face_top, _ = ex.chain([net.face], trunk_top, shape)
    model.outputs = [points_top, face_top]
    stdcnn.write(model, path)
    return model


def network_of(widths, members=1):
    """One network of these widths, or `members` of them joined (Averaged)."""
    return NinetyFiveNet(widths) if members == 1 else Averaged([widths] * members)


def load_checkpoint_model(path):
    """The network of a training checkpoint (.pt; one network or several
    joined), or of a file of one standard-width network or of several joined
    (.dat)."""
    if path.endswith(".dat"):
        # The file's weighted layers: every member's trunk, then the two heads.
        weighted = sum(1 for l in stdcnn.read(path).layers if l.weights)
        members = max(1, (weighted - 2) // export.weighted_layer_count(NinetyFiveNet().trunk))
        net = export.load_exported_weights(network_of(WIDTHS["standard"], members), path)
    else:
        state = torch.load(path, map_location="cpu")
        net = network_of(state.get("widths", WIDTHS["standard"]), state.get("members", 1))
        net.load_state_dict(state["model"])
    net.eval()
    return net
