#!/usr/bin/env bash
# What the metrics cost: W2 of scripts/bench.sh (h2load -t1 -c10 -m10, POST of
# a 4096-byte body, h2c with the connection preface) against h2srv-sample
# with the metrics port on (scraped every second meanwhile, as Prometheus
# would) and off, round by round in alternating order; the medians and their
# ratio. QIR_H2SRV_BASE names a third binary to pair with (for example one
# built from a commit without counters).
#
#   bash scripts/bench-metrics.sh
#   QIR_BENCH_SCALE=0.2 QIR_BENCH_ROUNDS=3 bash scripts/bench-metrics.sh
#
# One worker thread; the server on core 0, h2load on core 1 (when there are
# two). Only same-run ratios mean something on a shared machine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scale=${QIR_BENCH_SCALE:-1}
rounds=${QIR_BENCH_ROUNDS:-5}
n=$(awk -v s="$scale" 'BEGIN { v = int(100000 * s); print (v < 1000 ? 1000 : v) }')

bash scripts/setup.sh
cmake -S . -B build -DQIR_WERROR=ON >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target h2srv-sample >/dev/null

bench_name=bench-metrics
# shellcheck source=scripts/bench-common.sh
source scripts/bench-common.sh
head -c 4096 /dev/urandom >"$work/body"

ini() {  # $1 file, $2 port, $3 metrics port (none when empty)
  {
    echo "[SSL/TLS]"
    echo "HTTP1X_UPGRADE = false"
    echo "USE_SSL = false"
    echo "[THREAD]"
    echo "POOL_SIZE = 1"
    echo "[LISTENER]"
    echo "HTTP_PORT = $2"
    [ -n "$3" ] && echo "METRICS_PORT = $3"
    echo "[HTTP2_OPTIONS]"
    echo "MAX_CONCURRENT_STREAM = 100"
    echo "PING_PERIOD = 30"
    echo "PING_TIMEOUT = 10"
  } >"$1"
}

declare -A port bin
kinds=(on off)
bin[on]=$root/build/h2srv-sample
bin[off]=$root/build/h2srv-sample
if [ -n "${QIR_H2SRV_BASE:-}" ]; then
  kinds+=(base)
  bin[base]=$QIR_H2SRV_BASE
fi
mport=$(free_port)
for k in "${kinds[@]}"; do
  port[$k]=$(free_port)
  ini "$work/$k.ini" "${port[$k]}" "$([ "$k" = on ] && echo "$mport")"
  "${server_cpu[@]}" "${bin[$k]}" "$work/$k.ini" >/dev/null 2>&1 &
  pids+=($!)
  wait_port "${port[$k]}"
done
wait_port "$mport"

# The scraper of the "on" server, every second, as long as the script runs.
(while sleep 1; do curl -s -o /dev/null "http://127.0.0.1:$mport/metrics" || true; done) &
pids+=($!)

run() {  # $1 kind: requests/s
  local out
  out=$(timeout 600 "${client_cpu[@]}" h2load -t1 -c10 -m10 -n"$n" -d "$work/body" \
    "http://127.0.0.1:${port[$1]}/test" 2>&1) || true
  if ! grep -q "$n succeeded, 0 failed" <<<"$out"; then
    echo "bench-metrics: $1: not every request succeeded" >&2
  fi
  sed -n 's/^finished in [0-9.]*m\{0,1\}s, \([0-9.]*\) req\/s.*/\1/p' <<<"$out"
}

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR == 0) print 0; else print v[int((NR + 1) / 2)] }'; }

declare -A results
for ((r = 1; r <= rounds; r++)); do
  order=("${kinds[@]}")
  if ((r % 2 == 0)); then
    order=()
    for ((i = ${#kinds[@]} - 1; i >= 0; i--)); do order+=("${kinds[$i]}"); done
  fi
  for k in "${order[@]}"; do results[$k]+="$(run "$k") "; done
done

printf 'W2 (h2load -t1 -c10 -m10 -n %s, 4096-byte POST, h2c preface), %s round(s), median req/s\n\n' "$n" "$rounds"
printf '| server | req/s (median) | rounds | ratio to off |\n|---|---:|---|---:|\n'
off=$(tr ' ' '\n' <<<"${results[off]}" | grep . | median)
for k in "${kinds[@]}"; do
  m=$(tr ' ' '\n' <<<"${results[$k]}" | grep . | median)
  printf '| %s | %s | %s | %s |\n' "$k" "$m" "${results[$k]% }" \
    "$(awk -v a="$m" -v b="$off" 'BEGIN { if (b > 0) printf "%.3f", a / b; else print "n/a" }')"
done
curl -s "http://127.0.0.1:$mport/metrics" | grep -E '^qir_requests_total\{form="preface",code="2xx"\}' || true
