"""Mean of the weights of several detector checkpoints of one network, e.g.
the --average-from files of runs that started from the same weights side by
side (their weights stay close enough for the mean to work).

  /usr/bin/python3 -m modelkit train average-checkpoints --out modelkit/runs/detector_mean.pt \\
      modelkit/runs/detector_fullC_average.pt modelkit/runs/detector_fullD_average.pt

Every checkpoint counts once, whatever it averaged itself; the result loads
wherever a checkpoint does (evaluate/operating_points.py, export/detector.py).
"""
import argparse
import pickle
import sys

from modelkit.nets import detector_net as dn
from modelkit.train.clock import WeightAverage, save_checkpoint


def mean_checkpoint(paths):
    """A checkpoint (dict) holding the mean weights of the detectors in
    `paths` (.pt or .dat); ValueError when one is unreadable or another
    network."""
    average, first = WeightAverage(), None
    for path in paths:
        try:
            det = dn.load_weights(path)
        except (OSError, ValueError, RuntimeError, KeyError, EOFError, pickle.UnpicklingError) as e:
            raise ValueError("%s: not a detector checkpoint or file (%s)" % (path, e))
        first = first or det
        if (det.layout, det.head_name) != (first.layout, first.head_name):
            raise ValueError("%s is a %s network with the %s second stage; %s is %s / %s"
                             % (path, det.layout, det.head_name, paths[0], first.layout, first.head_name))
        average.update(det)
    return dn.checkpoint_of(first, average.state(), averaged=list(paths))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--out", required=True)
    ap.add_argument("checkpoints", nargs="+",
                    help="training checkpoints (.pt) or exported files (.dat) of one layout and second stage")
    args = ap.parse_args()
    try:
        state = mean_checkpoint(args.checkpoints)
    except ValueError as e:
        sys.exit(str(e))
    save_checkpoint(state, args.out)
    print("%d checkpoints averaged into %s" % (len(args.checkpoints), args.out))


if __name__ == "__main__":
    main()
