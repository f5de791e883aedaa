# Our client against h2load on the same server, pair by pair in the same run
# (on a shared machine only the ratios are stable figures): h2async-client
# and h2load -t1 against one h2srv-sample (one worker thread; core 0 where
# taskset exists, the client on core 1), POST of a 4096-byte body.
#
#   bash scripts/bench-client.sh
#   QIR_BENCH_SCALE=0.1 QIR_BENCH_ROUNDS=1 bash scripts/bench-client.sh   (quick look)
#
# Workloads: c1m1 (-c1 -m1), c1m10, c1m100 and c4m10 (4 connections x 10
# streams), each over h2c (connection preface) and TLS (ALPN h2). Each round
# runs ours and h2load back to back, the one going first alternating; the
# figures are medians over QIR_BENCH_ROUNDS rounds (default 3):
#   req/s of each, and ours/h2load;
#   client CPU time (user + system) per request in microseconds, and the ratio;
#   p99 latency: ours from its report, h2load's from --log-file request times.
# Then h2sync-client (one request at a time) against h2load -c1 -m1 over TLS.
# Request counts are multiplied by QIR_BENCH_SCALE (default 1).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scale=${QIR_BENCH_SCALE:-1}
rounds=${QIR_BENCH_ROUNDS:-3}

bash scripts/setup.sh
cmake -S . -B build -DQIR_WERROR=ON >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" \
  --target h2srv-sample h2async-client h2sync-client >/dev/null

bench_name=bench-client
# shellcheck source=scripts/bench-common.sh
source scripts/bench-common.sh
head -c 4096 /dev/urandom >"$work/body"

h2c_port=$(free_port)
tls_port=$(free_port)
cat >"$work/h2c.ini" <<EOF
[SSL/TLS]
HTTP1X_UPGRADE = false
USE_SSL = false
[THREAD]
POOL_SIZE = 1
[LISTENER]
HTTP_PORT = $h2c_port
[HTTP2_OPTIONS]
MAX_CONCURRENT_STREAM = 100
EOF
cat >"$work/tls.ini" <<EOF
[SSL/TLS]
HTTP1X_UPGRADE = false
USE_SSL = true
SSL_KEY_FILE = $work/server.key
SSL_CRT_FILE = $work/server.crt
SSL_CA_FILE = n/a
[THREAD]
POOL_SIZE = 1
[LISTENER]
HTTPS_PORT = $tls_port
[HTTP2_OPTIONS]
MAX_CONCURRENT_STREAM = 100
EOF
for form in h2c tls; do
  "${server_cpu[@]}" "$root/build/h2srv-sample" "$work/$form.ini" >/dev/null 2>&1 &
  pids+=($!)
done
wait_port "$h2c_port"
wait_port "$tls_port"

requests() { awk -v n="$1" -v s="$scale" 'BEGIN { v = int(n * s); if (v < 10) v = 10; print v }'; }
median() { sort -n | awk '{ v[NR] = $1 } END { if (NR == 0) print 0; else print v[int((NR + 1) / 2)] }'; }
med_of() { tr ' ' '\n' <<<"$1" | { grep . || true; } | median; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
# User + system seconds of a command, from GNU time, into $work/cpu.
timed() { /usr/bin/time -f '%U %S' -o "$work/cpu" "${client_cpu[@]}" "$@"; }
cpu_us_per() { awk -v n="$1" '{ printf "%.2f", ($1 + $2) * 1e6 / n }' "$work/cpu"; }

# "rps cpu_us_per_request p99_ms" of one run
run_ours() {  # $1 form, $2 n, $3 connections, $4 streams
  local port=$h2c_port flag=-P out rps p99
  [ "$1" = tls ] && port=$tls_port && flag=""
  # shellcheck disable=SC2086
  out=$(timed timeout 600 "$root/build/h2async-client" -h 127.0.0.1 -p "$port" $flag \
          -c "$2" -n "$3" -m "$4" -d "$work/body" 2>&1) || echo "ours $*: exit $?" >>"$work/errors"
  rps=$(sed -n 's/^requests: [0-9]* in [0-9.]* s, \([0-9.]*\) req\/s/\1/p' <<<"$out")
  p99=$(sed -n 's/^latency ms: .* p99 \([0-9.]*\) .*/\1/p' <<<"$out")
  echo "${rps:-0} $(cpu_us_per "$2") ${p99:-0}"
}
run_h2load() {  # as run_ours
  local url=http://127.0.0.1:$h2c_port/echo out rps total ok p99
  [ "$1" = tls ] && url=https://127.0.0.1:$tls_port/echo
  out=$(timed timeout 600 h2load -t1 -n "$2" -c "$3" -m "$4" -d "$work/body" \
          --log-file="$work/h2load.log" "$url" 2>&1) || true
  rps=$(sed -n 's/^finished in [0-9.]*m\{0,1\}s, \([0-9.]*\) req\/s.*/\1/p' <<<"$out")
  total=$(sed -n 's/^requests: \([0-9]*\) total.*/\1/p' <<<"$out")
  ok=$(sed -n 's/^status codes: \([0-9]*\) 2xx.*/\1/p' <<<"$out")
  [ "${total:-0}" = "${ok:-x}" ] || echo "h2load $*: $((${total:-0} - ${ok:-0})) not 2xx" >>"$work/errors"
  # Third column: the request's time in microseconds.
  p99=$(awk '{ print $3 / 1000 }' "$work/h2load.log" | sort -n |
        awk '{ v[NR] = $1 } END { if (NR == 0) print 0; else { i = int(NR * 0.99); if (i < 1) i = 1; print v[i] } }')
  echo "${rps:-0} $(cpu_us_per "$2") ${p99:-0}"
}

# name connections streams base-count
workloads=("c1m1 1 1 20000" "c1m10 1 10 100000" "c1m100 1 100 200000" "c4m10 4 10 100000")
declare -A rps cpu p99
: >"$work/errors"
for ((r = 1; r <= rounds; r++)); do
  for form in h2c tls; do
    for w in "${workloads[@]}"; do
      read -r name conns streams base <<<"$w"
      n=$(requests "$base")
      order=(ours h2load)
      ((r % 2 == 0)) && order=(h2load ours)
      for who in "${order[@]}"; do
        read -r a b c < <("run_$who" "$form" "$n" "$conns" "$streams")
        rps["$who $form $name"]+="$a "
        cpu["$who $form $name"]+="$b "
        p99["$who $form $name"]+="$c "
      done
    done
  done
done

printf 'h2async-client vs h2load -t1 on h2srv-sample (1 worker), 4096-byte POST, medians of %s round(s), scale %s\n\n' \
  "$rounds" "$scale"
printf '| workload | ours req/s | h2load req/s | ratio | ours CPU us/req | h2load CPU us/req | CPU ratio | ours p99 ms | h2load p99 ms | p99 ratio |\n'
printf '|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n'
for form in h2c tls; do
  for w in "${workloads[@]}"; do
    read -r name _ <<<"$w"
    ro=$(med_of "${rps[ours $form $name]}")
    rh=$(med_of "${rps[h2load $form $name]}")
    co=$(med_of "${cpu[ours $form $name]}")
    ch=$(med_of "${cpu[h2load $form $name]}")
    po=$(med_of "${p99[ours $form $name]}")
    ph=$(med_of "${p99[h2load $form $name]}")
    printf '| %s %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$form" "$name" "$ro" "$rh" \
      "$(ratio "$ro" "$rh")" "$co" "$ch" "$(ratio "$co" "$ch")" "$po" "$ph" "$(ratio "$po" "$ph")"
  done
done

# h2sync-client: one request at a time, against h2load -c1 -m1, over TLS.
n=$(requests 20000)
sync_rps=""
h2load_rps=""
for ((r = 1; r <= rounds; r++)); do
  out=$(echo | timeout 600 "${client_cpu[@]}" "$root/build/h2sync-client" -h 127.0.0.1 \
          -p "$tls_port" -c "$n" 2>&1) || echo "h2sync-client: exit $?" >>"$work/errors"
  sync_rps+="$(sed -n 's/^[0-9]* elapsed\.\.\.[0-9.]*\.\.\. tps=\([0-9.]*\)$/\1/p' <<<"$out") "
  read -r a _ < <(run_h2load tls "$n" 1 1)
  h2load_rps+="$a "
done
so=$(med_of "$sync_rps")
sh=$(med_of "$h2load_rps")
printf '\nh2sync-client -c %s vs h2load -c1 -m1 over TLS: %s vs %s req/s, ratio %s\n' \
  "$n" "$so" "$sh" "$(ratio "$so" "$sh")"
if [ -s "$work/errors" ]; then
  printf '\nerrors:\n'
  cat "$work/errors"
fi
