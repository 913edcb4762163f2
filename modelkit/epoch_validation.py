"""What the two landmark training scripts share: their learning-rate curve,
and what they do with the validation figures of a run: the starting point of
a fine-tune, the best weights after every epoch, and the mean of the late
epochs' weights at the end."""
import math


def learning_rate(base, step, frac):
    """base, warmed up over the first 300 steps, then a cosine over the run's
    time (frac from 0 to 1) down to 2 % of it."""
    warm = min(1.0, (step + 1) / 300.0)
    return base * warm * (0.02 + 0.98 * 0.5 * (1.0 + math.cos(math.pi * frac)))


def figures(errs):
    return "  ".join("%s %.4f" % kv for kv in errs.items())


class BestWeights:
    """Validation of a run, and the best score it has reached.

    evaluate(model) gives {name: figure}; score(figures) the one number that
    decides (lower is better), printed as score_name; save(path, extra)
    writes a checkpoint, with the fields of extra over its own."""

    def __init__(self, evaluate, score, score_name, save, path):
        self.evaluate, self.score, self.score_name = evaluate, score, score_name
        self.save, self.path = save, path
        self.best = float("inf")

    def _scored(self, model):
        errs = self.evaluate(model)
        return errs, float(self.score(errs))

    def start_from(self, model):
        """A fine-tune has to beat where it started, not just its own epochs."""
        errs, self.best = self._scored(model)
        print("starting point: %s  %s %.4f" % (figures(errs), self.score_name, self.best), flush=True)

    def after_epoch(self, model, epoch):
        errs, score = self._scored(model)
        print("validation after epoch %d: %s  %s %.4f" % (epoch, figures(errs), self.score_name, score),
              flush=True)
        if score < self.best:
            self.best = score
            self.save(self.path, {"validation": errs, "best": score})
            print("new best %.4f saved to %s" % (score, self.path), flush=True)

    def save_mean(self, model, average, path):
        """Puts the mean weights into model, scores and saves them."""
        model.load_state_dict(average.state())
        errs, score = self._scored(model)
        self.save(path, {"validation": errs, "averaged": average.count})
        print("mean of %d epochs' weights: %s  %s %.4f, saved to %s"
              % (average.count, figures(errs), self.score_name, score, path), flush=True)
