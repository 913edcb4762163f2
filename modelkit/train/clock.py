"""What every training script here shares: the wall-clock end of a run, the
thread count that can be changed while it runs, and checkpoints written so
that a stopped run never leaves half a file, the weights a run starts from,
and the mean of late epochs' weights."""
import datetime as dt
import os

import torch


def utc_next_at(hhmm):
    """Seconds since the epoch of the next HH:MM, UTC: today's, or tomorrow's
    when today's has gone (a run started before midnight can end after it)."""
    h, m = (int(v) for v in hhmm.split(":"))
    now = dt.datetime.now(dt.timezone.utc)
    at = now.replace(hour=h, minute=m, second=0, microsecond=0)
    if at <= now:
        at += dt.timedelta(days=1)
    return at.timestamp()


def add_until_option(parser, default=None):
    """The --until HH:MM option every training script ends its run by."""
    parser.add_argument("--until", required=default is None, default=default,
                        help="UTC time HH:MM at which training ends (the next one: after midnight if need be)")


def start_for_fraction(now, end, frac):
    """The start time that puts `now` at `frac` of the way from start to
    `end`: a run resumed on another machine or another day carries on along
    its learning-rate curve from there, instead of counting the pause as
    time spent."""
    if not 0.0 <= frac < 1.0:
        raise ValueError("the fraction of the time must be in [0, 1)")
    return (now - frac * end) / (1.0 - frac)


def threads_from_file(path, default):
    """The thread count written in path (a running job reads it again), or
    default when the file is absent or holds no number."""
    if os.path.exists(path):
        try:
            return max(1, int(open(path).read().strip()))
        except ValueError:
            pass
    return default


def apply_threads(n):
    if torch.get_num_threads() != n:
        torch.set_num_threads(n)
        print("threads: %d" % n, flush=True)


def save_checkpoint(state, path):
    torch.save(state, path + ".part")
    os.replace(path + ".part", path)


def load_weights(model, path):
    """Puts into `model` the weights of a checkpoint (.pt) or of an exported
    single-input file (.dat, e.g. a shipped model whose checkpoint is gone)."""
    if path.endswith(".dat"):
        from modelkit.export.torch_to_stdcnn import load_exported_weights
        load_exported_weights(model, path)
    else:
        model.load_state_dict(torch.load(path, map_location="cpu")["model"])
    return model


def init_weights(model, path):
    """Starts a run from the weights of `path` (see load_weights)."""
    load_weights(model, path)
    print("weights from %s" % path, flush=True)


class WeightAverage:
    """Running mean of a model's weights (taken at epoch ends or checkpoints late in a run,
    where the learning rate is small and the weights stay in one basin)."""

    def __init__(self):
        self.sum, self.count = None, 0

    def update(self, model):
        state = {k: v.detach().double().clone() for k, v in model.state_dict().items()}
        if self.sum is None:
            self.sum = state
        else:
            for k, v in state.items():
                self.sum[k] += v
        self.count += 1

    def state(self):
        return {k: (v / self.count).float() for k, v in self.sum.items()}

    def saved(self):
        """What a checkpoint keeps so that a resumed run goes on averaging."""
        return {"average_sum": self.sum, "average_count": self.count}

    def resume(self, checkpoint):
        """Takes up the mean of a checkpoint written with saved() (a run
        without one starts empty)."""
        if checkpoint.get("average_sum") is not None:
            self.sum, self.count = checkpoint["average_sum"], checkpoint["average_count"]
