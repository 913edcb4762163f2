"""Data sets, the canonical face box, crops and warps the library's way, the
95-point layout and the synthetic scenes of the detector's training."""
