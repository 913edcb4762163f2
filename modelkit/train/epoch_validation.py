"""What the two landmark training scripts share: their learning-rate curve,
and what they do with the validation figures of a run: the starting point of
a fine-tune, the best weights after every epoch, and the mean of the late
epochs' weights at the end."""
import math

from modelkit.train.clock import WeightAverage


def learning_rate(base, step, frac):
    """base, warmed up over the first 300 steps, then a cosine over the run's
    time (frac from 0 to 1) down to 2 % of it."""
    warm = min(1.0, (step + 1) / 300.0)
    return base * warm * (0.02 + 0.98 * 0.5 * (1.0 + math.cos(math.pi * frac)))


def figures(errs):
    return "  ".join("%s %.4f" % kv for kv in errs.items())


class RunValidation:
    """Validation of a run: the best score it has reached, and the mean of
    the weights at the ends of epochs from average_from (a share of the
    run's time; None: no mean).

    evaluate(model) gives {name: figure}; score(figures) the one number that
    decides (lower is better), printed as score_name; save(path, extra)
    writes a checkpoint, with the fields of extra over its own."""

    def __init__(self, evaluate, score, score_name, save, path, average_from=None):
        self.evaluate, self.score, self.score_name = evaluate, score, score_name
        self.save, self.path = save, path
        self.best = float("inf")
        self.average, self.average_from = WeightAverage(), average_from

    def _scored(self, model):
        errs = self.evaluate(model)
        return errs, float(self.score(errs))

    def start_from(self, model):
        """A fine-tune has to beat where it started, not just its own epochs."""
        errs, self.best = self._scored(model)
        print("starting point: %s  %s %.4f" % (figures(errs), self.score_name, self.best), flush=True)

    def after_epoch(self, model, epoch, frac):
        """At the end of an epoch, frac of the run's time gone."""
        if self.average_from is not None and frac >= self.average_from:
            self.average.update(model)
        errs, score = self._scored(model)
        print("validation after epoch %d: %s  %s %.4f" % (epoch, figures(errs), self.score_name, score),
              flush=True)
        if score < self.best:
            self.best = score
            self.save(self.path, {"validation": errs, "best": score})
            print("new best %.4f saved to %s" % (score, self.path), flush=True)

    def finish(self, model, step, mean_path):
        """The end of the run: when there is a mean, it goes into model and
        is scored and saved to mean_path."""
        print("training ended at step %d, best %.4f" % (step, self.best), flush=True)
        if not self.average.count:
            return
        model.load_state_dict(self.average.state())
        errs, score = self._scored(model)
        self.save(mean_path, {"validation": errs, "averaged": self.average.count})
        print("mean of %d epochs' weights: %s  %s %.4f, saved to %s"
              % (self.average.count, figures(errs), self.score_name, score, mean_path), flush=True)
