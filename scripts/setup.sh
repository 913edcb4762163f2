#!/usr/bin/env bash
# Installs the Debian packages that building and testing kx_tracker needs.
# Idempotent: when everything is present it installs nothing and prints nothing.
#   scripts/setup.sh            build, tests and benchmarks
#   scripts/setup.sh --training also the Python tool-chain for training models
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libeigen3-dev
  libopencv-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  binutils
  # the Python module and its tests
  python3-dev python3-pybind11 python3-numpy python3-pytest python3-opencv
  # the fuzzing harnesses (libFuzzer)
  clang libclang-rt-14-dev
)
if [[ "${1:-}" == "--training" ]]; then
  packages+=(python3 python3-numpy python3-opencv python3-torch python3-torchvision
             libdlib-dev libdlib-data opencv-data)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
    missing+=("$p")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
