"""Quality and speed of the model files through the library's own code path,
beside the peer detectors."""
