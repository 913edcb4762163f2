#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, in build-fuzz/ or $KX_FUZZ_BUILD), replays
# every saved regression input, then runs each harness for a bounded time.
#
#   scripts/fuzz.sh [SECONDS] [HARNESS...]
#     SECONDS   fuzzing time per harness (default 30; 0 only replays)
#     HARNESS   net_single_fuzzer detector_fuzzer cascade_fuzzer
#               layer_params_fuzzer (default: all four)
#
# Seeds come from the project's own writers (kx_fuzz_seeds) and the first
# 4 KiB of the shipped models; the growing corpus stays in
# build-fuzz/corpus/. An input that makes a harness fail is saved in
# build-fuzz/findings/HARNESS/; once the fault is fixed, copy it into
# fuzz/regressions/HARNESS/ so that every later run (and CI) replays it.
# Exit status: 0 no finding, 1 a regression input or the fuzzing failed.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
shift || true
harnesses=("$@")
[[ ${#harnesses[@]} -eq 0 ]] && harnesses=(net_single_fuzzer detector_fuzzer cascade_fuzzer layer_params_fuzzer)
jobs=$(nproc 2>/dev/null || echo 2)
build=${KX_FUZZ_BUILD:-build-fuzz}  # build folder, inside the source tree

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DKX_FUZZ=ON \
  -DKX_SANITIZE=address,undefined -DKX_BUILD_TESTS=OFF -DKX_BUILD_TOOLS=OFF -DKX_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$jobs" --target "${harnesses[@]}" kx_fuzz_seeds

# Seeds of this run only, so that two runs side by side do not share them.
seeds=$(mktemp -d "$build/seeds.XXXXXX")
trap 'rm -rf "$seeds"' EXIT
"$build/fuzz/kx_fuzz_seeds" "$seeds"
head -c 4096 models/frcnn_full_cross_500000.dat >"$seeds/detector_fuzzer/shipped_head"
head -c 4096 models/cdcn_iter_500000.dat >"$seeds/net_single_fuzzer/shipped_five_point_head"
head -c 4096 models/cdcn95_verify_iter_50000.dat >"$seeds/net_single_fuzzer/shipped_95_point_head"
head -c 4096 models/model95_tern.bin >"$seeds/cascade_fuzzer/shipped_head"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for h in "${harnesses[@]}"; do
  binary=$build/fuzz/$h
  regressions=fuzz/regressions/$h
  if compgen -G "$regressions/*" >/dev/null; then
    if ! "$binary" -close_fd_mask=1 "$regressions"/* >"$build/$h.replay.log" 2>&1; then
      echo "$h: a regression input fails again (see $build/$h.replay.log)"
      status=1
      continue
    fi
    echo "$h: $(ls "$regressions" | wc -l) regression inputs pass"
  fi
  [[ "$seconds" -gt 0 ]] || continue

  corpus=$build/corpus/$h
  findings=$build/findings/$h
  mkdir -p "$corpus" "$findings"
  # Library console lines (standard output) are muted; a pass slower than
  # 25 s or above 2 GiB of memory counts as a finding.
  if ! "$binary" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -close_fd_mask=1 \
      -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" "$seeds/$h" >"$build/$h.log" 2>&1; then
    echo "$h: FINDING (see $build/$h.log and $findings/)"
    status=1
    continue
  fi
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$build/$h.log" | grep -o '[0-9]*$' || echo '?')
  cover=$(grep -o 'cov: [0-9]*' "$build/$h.log" | tail -1 || true)
  echo "$h: no finding in ${seconds} s, $runs executions, ${cover:-cov: ?} edges"
done
exit $status
