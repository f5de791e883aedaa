#!/usr/bin/env bash
# From nothing to a passed test suite: dependencies, build, every test.
#   bash scripts/test.sh            normal build in build/
#   QIR_SANITIZE=asan bash scripts/test.sh   ASan+UBSan build in build-asan/
#   QIR_SANITIZE=tsan bash scripts/test.sh   TSan build in build-tsan/
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

mode="${QIR_SANITIZE:-none}"
flags=(-DQIR_WERROR=ON)
case "$mode" in
  none) dir=build ;;
  asan) dir=build-asan; flags+=(-DQIR_ASAN=ON) ;;
  tsan) dir=build-tsan; flags+=(-DQIR_TSAN=ON) ;;
  *) echo "unknown QIR_SANITIZE=$mode (none, asan, tsan)" >&2; exit 2 ;;
esac

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$dir" "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$jobs"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"
ctest --test-dir "$dir" --output-on-failure -j "$jobs" </dev/null
