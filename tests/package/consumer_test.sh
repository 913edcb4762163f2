#!/usr/bin/env bash
# Installs a build into a temporary prefix and uses it as an application
# would: a small program built with find_package and again with pkg-config
# finds the face of a sample portrait; the installed kxface finds the
# installed models; the installed Python module imports and finds faces.
#   consumer_test.sh BUILD_DIR SOURCE_DIR python|no-python
set -euo pipefail
build=$1 source=$2 python=$3
photo=$source/samples/obama.jpg
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
echo "installed into $prefix"

# The shared library exports the seven KXTracker_* functions and nothing else.
lib=$(find "$prefix" -name 'libkx_tracker.so.*.*' | head -n 1)
exported=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TWDBRV]$/ {print $3}' | sort)
expected=$(printf '%s\n' KXTracker_align95 KXTracker_destroy KXTracker_detect KXTracker_detect_align5 \
  KXTracker_detect_align95 KXTracker_init KXTracker_track | sort)
[[ "$exported" == "$expected" ]] || { echo "exported symbols differ:"; echo "$exported"; exit 1; }

# find_package
cmake -S "$source/tests/package/consumer" -B "$work/with-cmake" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/with-cmake" >/dev/null
"$work/with-cmake/consumer" "$photo" >/dev/null
echo "find_package: ok"

# pkg-config, as a Makefile would use it
export PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name kx_tracker.pc)")
[[ "$(pkg-config --modversion kx_tracker)" == "$(pkg-config --modversion kx_tracker_cpp)" ]]
models=$(pkg-config --variable=modeldir kx_tracker)
c++ -std=c++17 -o "$work/consumer-pc" "$source/tests/package/consumer/main.cpp" \
  -DKX_MODEL_DIR="\"$models\"" $(pkg-config --cflags kx_tracker kx_tracker_cpp) \
  $(pkg-config --libs kx_tracker kx_tracker_cpp) -Wl,-rpath,"$(pkg-config --variable=libdir kx_tracker)"
"$work/consumer-pc" "$photo" >/dev/null
echo "pkg-config: ok"

# The installed kxface reads the installed models without --models.
version=$("$prefix/bin/kxface" --version)
json=$("$prefix/bin/kxface" detect "$photo")
[[ "$json" == *'"box":'* ]] || { echo "installed kxface found no face: $json"; exit 1; }
echo "kxface: $version, a face found"

if [[ "$python" == python ]]; then
  module=$(find "$prefix" -name 'kx_tracker*.so' -path '*-packages*')
  PYTHONPATH=$(dirname "$module") /usr/bin/python3 - "$photo" <<'PY'
import sys, cv2, kx_tracker
faces = kx_tracker.FaceAnalyzer().detect(cv2.imread(sys.argv[1]))
assert len(faces.boxes) >= 1, "the installed module found no face"
print("python: kx_tracker", kx_tracker.__version__, "found", len(faces.boxes), "face(s)")
PY
fi
