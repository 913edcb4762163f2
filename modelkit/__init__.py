"""The model tool-chain: how the library's four model files are made, checked
and measured. Read it top-down, one folder per stage:

  formats/   the files the library reads ("stdcnn" networks, the cascade)
  data/      data sets, face boxes, crops and warps, training scenes
  nets/      the networks in PyTorch, built from modules that behave like
             the runtime's layers
  train/     training loops and what they share
  export/    checkpoint -> model file, parity with the runtime, fixtures
  evaluate/  quality and speed through the library's own code, beside peers
  cpp/       C++ helpers that run the library's code for the steps above

Every command runs from the project root: /usr/bin/python3 -m modelkit --help
"""
