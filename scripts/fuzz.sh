#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan, build-fuzz/) and runs each
# for a fixed time from its seed corpus in FUZZ/corpus.
#   bash scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
# Default 20 s per target. New inputs go to build-fuzz/corpus/<target> (kept
# between runs; FUZZ/corpus is only read). Exits non-zero when any target
# finds a crash, leak, time-out or sanitizer report; the reproducer is kept
# as build-fuzz/artifacts/<target>-crash-... (or -leak-, -timeout-, -oom-).
# Environment: QIR_FUZZ_JOBS build jobs (default nproc), QIR_FUZZ_ARGS extra
# libFuzzer options for every target.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-20}"
shift || true

bash scripts/setup.sh

dir=build-fuzz
jobs="${QIR_FUZZ_JOBS:-$(nproc 2>/dev/null || echo 2)}"
# -O1 with line tables: a third less build time than -O2 -g, and the
# sanitizers' stacks still name every line.
cmake -S . -B "$dir" -DQIR_FUZZ=ON -DQIR_TESTS=OFF -DCMAKE_BUILD_TYPE=None \
  -DCMAKE_C_FLAGS="-O1 -gline-tables-only" -DCMAKE_CXX_FLAGS="-O1 -gline-tables-only" \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$dir" --target fuzz_all -j "$jobs"

# target, longest input, dictionary (or -)
TARGETS=(
  "fuzz_upgrade_server 8192 http1.dict"
  "fuzz_server_engine 16384 http2.dict"
  "fuzz_client_engine 16384 http2.dict"
  "fuzz_ini 4096 ini.dict"
  "fuzz_vnf 4096 json.dict"
  "fuzz_log_pipe 16384 -"
  "fuzz_conv 1024 conv.dict"
  "fuzz_lz4_socket 8192 -"
)
want=("$@")

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
mkdir -p "$dir/artifacts" "$dir/logs"
failed=()
printf '%-22s %12s %8s %8s %8s %s\n' target execs cov ft corpus result
for entry in "${TARGETS[@]}"; do
  read -r name maxlen dict <<<"$entry"
  if [ ${#want[@]} -gt 0 ] && [[ ! " ${want[*]} " == *" $name "* ]]; then continue; fi
  work="$dir/corpus/$name"
  mkdir -p "$work"
  args=(-max_total_time="$seconds" -max_len="$maxlen" -timeout=10 -rss_limit_mb=2048
        -close_fd_mask=1 -print_final_stats=1
        -artifact_prefix="$dir/artifacts/$name-")
  [ "$dict" != "-" ] && args+=(-dict="FUZZ/dict/$dict")
  # shellcheck disable=SC2206
  extra=(${QIR_FUZZ_ARGS:-})
  log="$dir/logs/$name.log"
  rc=0
  "$dir/FUZZ/$name" "${args[@]}" "${extra[@]}" "$work" "FUZZ/corpus/$name" >"$log" 2>&1 </dev/null || rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  last=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  corp=$(sed -n 's/.* corp: \([0-9]*\).*/\1/p' <<<"$last")
  result=ok
  if [ "$rc" -ne 0 ]; then
    result="FAILED (rc $rc, log $log)"
    failed+=("$name")
  fi
  printf '%-22s %12s %8s %8s %8s %s\n' "$name" "${execs:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}" "$result"
  if [ "$rc" -ne 0 ]; then
    grep -E 'ERROR:|SUMMARY:|runtime error|Test unit written' "$log" | head -8 | sed 's/^/    /'
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: failures in ${failed[*]}; reproducers in $dir/artifacts/" >&2
  exit 1
fi
echo "fuzz: every target ran ${seconds}s without a finding"
