"""Checkpoint -> model file, with the parity check against the runtime and the
parity fixture that the C++ tests read."""
