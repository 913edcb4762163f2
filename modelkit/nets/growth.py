"""Growing a trained layer into a wider one without changing what it
computes: the way a network gains units and starts from its trained self."""
import torch


def grown_weight(old, new_shape, fresh):
    """A weight of new_shape holding `old` in its leading block: rows after
    old's (new outputs) take `fresh`'s values, columns after old's (new
    inputs) are zero, so the old outputs do not see the new inputs."""
    w = torch.zeros(new_shape, dtype=old.dtype)
    w[old.shape[0]:] = fresh[old.shape[0]:]
    w[tuple(slice(0, n) for n in old.shape)] = old
    return w
