#!/usr/bin/env bash
# Service log load figures: lines per second through the named pipe to disk,
# and how many are dropped when producers outrun the writer thread.
#   bash scripts/bench-log.sh            uses build/ (built if missing)
#   BUILD_DIR=build-x bash scripts/bench-log.sh
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${BUILD_DIR:-build}"
if [ ! -x "$dir/qir-log-bench" ]; then
  cmake -S . -B "$dir" -DQIR_WERROR=ON >/dev/null
  cmake --build "$dir" -j2 --target qir-log-bench
fi
bench="$dir/qir-log-bench"

echo "== overload: producers log as fast as they can"
"$bench" -t 1 -n 200000 -s 100
"$bench" -t 4 -n 50000 -s 100
echo "== long lines"
"$bench" -t 2 -n 20000 -s 1000
echo "== paced: each producer pauses 20 us per line"
"$bench" -t 2 -n 20000 -s 100 -p 20
