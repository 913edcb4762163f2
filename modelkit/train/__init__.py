"""Training loops (five points, 95 points, detector, cascade) and what they
share: the run clock, validation, checkpoint averaging."""
