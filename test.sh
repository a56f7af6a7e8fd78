#!/usr/bin/env bash
# The test command: installs what is missing, builds an optimized tree and an
# AddressSanitizer + UndefinedBehaviorSanitizer tree, and runs the whole suite in both; then a
# ThreadSanitizer tree runs the tests that start threads.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
morvellan_install_missing

jobs=$(nproc)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}

run_tree() {
  local dir=$1
  shift
  echo "== $dir"
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600
}

run_tree build/release -DCMAKE_BUILD_TYPE=Release
run_tree build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVELLAN_SANITIZE=ON -DMORVELLAN_BENCH=OFF

# ThreadSanitizer only for the programs and tests that start threads, to keep the run short.
tsan_targets=(platform_tests gif_tests)
tsan_tests='Thread|Synchron|Event|Painter'
echo "== build/tsan"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVELLAN_TSAN=ON \
  -DMORVELLAN_BENCH=OFF -DMORVELLAN_GUI=OFF >/dev/null
cmake --build build/tsan -j "$jobs" --target "${tsan_targets[@]}"
ctest --test-dir build/tsan --output-on-failure -j "$jobs" --timeout 600 -R "$tsan_tests"
echo "All test trees passed."
