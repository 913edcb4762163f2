"""The tool-chain's one entry point. From the project root:

  /usr/bin/python3 -m modelkit --help
  /usr/bin/python3 -m modelkit STAGE COMMAND [options]     e.g. train five-points
  /usr/bin/python3 -m modelkit STAGE COMMAND --help
  /usr/bin/python3 -m modelkit selftest [unittest options]
"""
import importlib
import sys

# stage -> command -> (module, what it does). A module is imported only when
# its command runs, so that listing the commands does not load PyTorch.
STAGES = {
    "train": {
        "five-points": ("modelkit.train.five_points", "trains the five-point network (cdcn_iter_500000.dat)"),
        "ninety-five": ("modelkit.train.ninety_five",
                        "trains one 95-point network with its face check (cdcn95_verify_iter_50000.dat)"),
        "detector": ("modelkit.train.detector", "trains the face detector on synthetic scenes and WIDER FACE "
                     "photos (frcnn_full_cross_500000.dat)"),
        "second-stage": ("modelkit.train.second_stage", "refits a detector's second stage on the proposals of "
                         "whole WIDER FACE training photos"),
        "cascade": ("modelkit.train.cascade", "trains or writes the 95-point regression cascade (model95_tern.bin)"),
        "average-checkpoints": ("modelkit.train.average_checkpoints",
                                "the mean weights of several detector checkpoints of one network"),
    },
    "export": {
        "five-points": ("modelkit.export.five_points", "five-point checkpoint -> model file, parity check, fixture"),
        "ninety-five": ("modelkit.export.ninety_five",
                        "95-point checkpoint(s) -> model file (one network or the mean of several), parity, fixture"),
        "detector": ("modelkit.export.detector", "detector checkpoint -> model file, parity check, fixture"),
        "eye-rings": ("modelkit.export.eye_rings",
                      "renumbers a 95-point network and cascade whose eye rings start at the corners"),
    },
    "evaluate": {
        "five-points": ("modelkit.evaluate.five_points", "five-point error and time through the library's path"),
        "ninety-five": ("modelkit.evaluate.ninety_five",
                        "95-point error, face check and time through the library's path"),
        "detector": ("modelkit.evaluate.detector",
                     "detector recall, false detections and time beside the Haar cascade and dlib"),
        "operating-points": ("modelkit.evaluate.operating_points",
                             "the most faces a detector finds at no more than K false detections, per bias"),
        "wider": ("modelkit.evaluate.wider", "detector recall and false detections on real photos (WIDER FACE, "
                  "newtest) beside the peers"),
        "wider-operating-points": ("modelkit.evaluate.wider_operating_points",
                                   "evaluate wider's counts at every background bias in one run"),
        "wider-box-fit": ("modelkit.evaluate.wider_box_fit",
                          "measures the WIDER box -> canonical face box mapping data/wider.py uses"),
        "close-ups": ("modelkit.evaluate.close_ups", "faces that fill the frame: cuts of the two portraits"),
        "photos": ("modelkit.evaluate.photos", "landmarks on whole photos (faces300w) through "
                   "KXTracker_detect_align5/_align95 beside dlib's predictor"),
    },
}
SINGLE = {
    "selftest": ("modelkit.selftest", "checks of the tool-chain against the C++ runtime (no data needed)"),
}
PROG = "python3 -m modelkit"


def usage():
    lines = ["usage: %s COMMAND [options]   (from the project root; COMMAND --help for its options)" % PROG, ""]
    for stage, commands in STAGES.items():
        for name, (_, what) in commands.items():
            lines.append("  %-32s %s" % ("%s %s" % (stage, name), what))
        lines.append("")
    for name, (_, what) in SINGLE.items():
        lines.append("  %-32s %s" % (name, what))
    lines += ["", "Steps and recipes: modelkit/README.md; the model files: models/README.md."]
    return "\n".join(lines)


def run(module_name, prog, args):
    # The commands read their options from sys.argv with argparse, whose
    # usage line names the program after sys.argv[0].
    sys.argv = [prog] + args
    importlib.import_module(module_name).main()


def main(argv):
    if not argv or argv[0] in ("-h", "--help", "help"):
        print(usage(), file=sys.stdout if argv else sys.stderr)
        return 0 if argv else 2
    first, rest = argv[0], argv[1:]
    if first in SINGLE:
        return run(SINGLE[first][0], "%s %s" % (PROG, first), rest)
    if first not in STAGES:
        print("%s: unknown command '%s'\n\n%s" % (PROG, first, usage()), file=sys.stderr)
        return 2
    commands = STAGES[first]
    if not rest or rest[0] in ("-h", "--help"):
        out = sys.stdout if rest else sys.stderr
        print("usage: %s %s {%s} [options]" % (PROG, first, ",".join(commands)), file=out)
        for name, (_, what) in commands.items():
            print("  %-22s %s" % (name, what), file=out)
        return 0 if rest else 2
    if rest[0] not in commands:
        print("%s %s: unknown command '%s' (one of: %s)" % (PROG, first, rest[0], ", ".join(commands)),
              file=sys.stderr)
        return 2
    return run(commands[rest[0]][0], "%s %s %s" % (PROG, first, rest[0]), rest[1:])


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
