#!/usr/bin/env bash
# Service log load figures: lines per second that reach the disk in file mode
# and how many are dropped, next to spdlog's asynchronous file logger writing
# the same lines from the same number of threads (when libspdlog-dev is
# installed), with the ratio of the two. A benchmark, not a test.
#   bash scripts/bench-log.sh            all loads, using build/ (built if needed)
#   bash scripts/bench-log.sh steady     only the paced run: 100,000 lines/s from 4 threads, 30 s
#   BUILD_DIR=build-x bash scripts/bench-log.sh
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${BUILD_DIR:-build}"
mode="${1:-all}"
if [ ! -x "$dir/qir-log-bench" ] || [ ! -x "$dir/spdlog-log-bench" ]; then
  cmake -S . -B "$dir" -DQIR_WERROR=ON >/dev/null
  cmake --build "$dir" -j2 --target qir-log-bench
  cmake --build "$dir" -j2 --target spdlog-log-bench 2>/dev/null || true
fi

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) processors"

# Runs one load through both loggers; prints both lines and ours / spdlog.
pair() {
  local ours theirs
  ours=$("$dir/qir-log-bench" "$@") || true
  echo "$ours"
  if [ -x "$dir/spdlog-log-bench" ]; then
    theirs=$("$dir/spdlog-log-bench" "$@") || true
    echo "$theirs"
    awk -v a="$ours" -v b="$theirs" 'BEGIN {
      match(a, /on disk [0-9]+ lines [0-9]+/); split(substr(a, RSTART, RLENGTH), x, " ");
      match(b, /on disk [0-9]+ lines [0-9]+/); split(substr(b, RSTART, RLENGTH), y, " ");
      if (y[5] > 0) printf "ratio  lines/s on disk, qir / spdlog: %.2f\n", x[5] / y[5] }'
  else
    echo "spdlog   (not built: install libspdlog-dev)"
  fi
}

if [ "$mode" = "all" ]; then
  echo "== flat out: producers log 100-byte lines as fast as they can"
  pair -t 1 -n 400000 -s 100
  pair -t 4 -n 200000 -s 100
  echo "== flat out, 1,000-byte lines"
  pair -t 1 -n 100000 -s 1000
  pair -t 4 -n 40000 -s 1000
fi
echo "== steady: 100,000 lines/s from 4 threads for 30 s"
pair -t 4 -r 100000 -d 30 -s 100
