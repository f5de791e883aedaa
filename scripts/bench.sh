# Throughput of the echo server against three peers measured pair by pair
# in the same run (on a shared machine only the ratio is a stable figure):
# h2o with a small mruby handler that returns the request body (the goal),
# nghttpd --echo-upload and Node's http2 module with scripts/node-echo.js
# (true echoes that must stay behind us). Node is installed when missing and
# this runs as root; otherwise its columns read n/a.
#
#   bash scripts/bench.sh
#   QIR_BENCH_SCALE=3 QIR_BENCH_ROUNDS=3 bash scripts/bench.sh
#   QIR_H2SRV=/path/to/h2srv-sample bash scripts/bench.sh   (another server build)
#
# Workloads (h2load -t1, POST of a 4096-byte body): W1 -c1 -m1 (20000
# requests), W2 -c10 -m10 (100000), W3 -c200 -m1 (20000), all h2c with the
# connection preface, and W4 = W2 over TLS with ALPN h2; counts times
# QIR_BENCH_SCALE. Counted runs rather than timed ones (-D): h2load's timed
# mode does not end when clients are still in their TLS handshake as the
# time runs out. Each server gets one worker thread and, where taskset
# exists, core 0; h2load gets core 1. h2srv-sample runs with its output sent
# to /dev/null. Prints requests/s (median over the rounds), the ratios
# ours/h2o and ours/nghttpd, each server's CPU time per request (median),
# responses that were not 2xx, and each server's peak RSS (VmHWM). The ratio
# table is also written as markdown and as an SVG chart (gnuplot) to
# QIR_BENCH_OUT (default build/bench/).
#
# W5 is a new TLS connection per request (h2load -c1000 -n1000: each client
# handshakes, asks once and goes), against servers of their own with two
# workers (POOL_SIZE 2, h2o num-threads 2, nghttpd -n2) free to use both
# cores; Node, single-threaded, is left out there. W5 runs
# QIR_BENCH_W5_REPS times (default 3) in each round. W6 is W2 with 5,000 idle HTTP/2
# connections (QIR_BENCH_IDLE) held open on the server meanwhile, by a
# holder that answers SETTINGS and PINGs and nothing else; only h2srv-sample
# and h2o are measured there (h2o with its HTTP/2 idle time-out raised so it
# keeps them), and the holder's connections count in each one's peak RSS.
#
# W1 is also set against the loopback floor: BENCH/loopback-floor.c, one
# connection trading 4096 bytes each way with blocking calls, pinned like
# the server and h2load.
#
# Then our own client: h2sync-client -c 20000 (one synchronous request at a
# time over one connection) next to h2load -c1 -m1 -n 20000 against the same
# h2srv-sample, pair by pair, over TLS and over cleartext. h2load has no
# HTTP/1.1 upgrade: on cleartext our client upgrades on one instance and
# h2load sends the connection preface to another one of the same program.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scale=${QIR_BENCH_SCALE:-1}
rounds=${QIR_BENCH_ROUNDS:-1}
w5_reps=${QIR_BENCH_W5_REPS:-3}
idle=${QIR_BENCH_IDLE:-5000}
# W5's clients and W6's idle connections need descriptors.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

bash scripts/setup.sh
cmake -S . -B build -DQIR_WERROR=ON >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target h2srv-sample h2sync-client >/dev/null

bench_name=bench
# shellcheck source=scripts/bench-common.sh
source scripts/bench-common.sh
head -c 4096 /dev/urandom >"$work/body"

ours_ini() {  # $1 file, $2 "http" or "https", $3 port, $4 upgrade (default false), $5 workers
  {
    echo "[SSL/TLS]"
    echo "HTTP1X_UPGRADE = ${4:-false}"
    if [ "$2" = https ]; then
      echo "USE_SSL = true"
      echo "SSL_KEY_FILE = $work/server.key"
      echo "SSL_CRT_FILE = $work/server.crt"
      echo "SSL_CA_FILE = n/a"
    else
      echo "USE_SSL = false"
    fi
    echo "[THREAD]"
    echo "POOL_SIZE = ${5:-1}"
    echo "[LISTENER]"
    if [ "$2" = https ]; then echo "HTTPS_PORT = $3"; else echo "HTTP_PORT = $3"; fi
    echo "MAX_CONNECTIONS = $((idle + 2000))"
    echo "[HTTP2_OPTIONS]"
    echo "MAX_CONCURRENT_STREAM = 100"
    echo "PING_PERIOD = 30"
    echo "PING_TIMEOUT = 10"
  } >"$1"
}

start() {  # $1 name, rest: command; records the pid in pid_<name>
  local name=$1
  shift
  "${server_cpu[@]}" "$@" >/dev/null 2>&1 &
  pids+=($!)
  printf -v "pid_$name" '%s' "$!"
}
start_unpinned() {  # as start, on any core
  local name=$1
  shift
  "$@" >/dev/null 2>&1 &
  pids+=($!)
  printf -v "pid_$name" '%s' "$!"
}

declare -A port
if ! command -v node >/dev/null && [ "$(id -u)" = 0 ]; then
  apt-get install -y -qq --no-install-recommends nodejs </dev/null >/dev/null 2>&1 || true
fi
servers=(ours h2o nghttpd)
command -v node >/dev/null && servers+=(node)
for k in ours_h2c ours_tls ours_up ours_tls2 nghttpd_h2c nghttpd_tls nghttpd_tls2 h2o_h2c h2o_tls \
  h2o_tls2 node_h2c node_tls; do
  port[$k]=$(free_port)
done

ours_ini "$work/h2c.ini" http "${port[ours_h2c]}"
ours_ini "$work/tls.ini" https "${port[ours_tls]}"
srv_bin=${QIR_H2SRV:-$root/build/h2srv-sample}
start ours_h2c "$srv_bin" "$work/h2c.ini"
start ours_tls "$srv_bin" "$work/tls.ini"
ours_ini "$work/up.ini" http "${port[ours_up]}" true
start ours_up "$srv_bin" "$work/up.ini"
ours_ini "$work/tls2.ini" https "${port[ours_tls2]}" false 2
start_unpinned ours_tls2 "$srv_bin" "$work/tls2.ini"
start_unpinned nghttpd_tls2 nghttpd --echo-upload -n2 "${port[nghttpd_tls2]}" "$work/server.key" \
  "$work/server.crt"
start_unpinned h2o_tls2 bash scripts/h2o-echo.sh "$work/h2o2" 0 "${port[h2o_tls2]}" \
  "$work/server.crt" "$work/server.key" 2
start nghttpd_h2c nghttpd --echo-upload -n1 --no-tls "${port[nghttpd_h2c]}"
start nghttpd_tls nghttpd --echo-upload -n1 "${port[nghttpd_tls]}" "$work/server.key" "$work/server.crt"
# One h2o process serves both of its ports.
start h2o bash scripts/h2o-echo.sh "$work/h2o" "${port[h2o_h2c]}" "${port[h2o_tls]}" \
  "$work/server.crt" "$work/server.key" 1 3600
pid_h2o_h2c=$pid_h2o
pid_h2o_tls=$pid_h2o
if [[ " ${servers[*]} " == *" node "* ]]; then
  start node node scripts/node-echo.js "${port[node_h2c]}" "${port[node_tls]}" \
    "$work/server.crt" "$work/server.key"
  pid_node_h2c=$pid_node
  pid_node_tls=$pid_node
else
  echo "bench: node not found; Node's columns read n/a" >&2
  unset 'port[node_h2c]' 'port[node_tls]'
fi
for p in "${port[@]}"; do wait_port "$p"; done

# CPU time (user + system) of a process and its threads, in clock ticks.
# A server's CPU with its child processes' (h2o signs with its private key
# in a child of its own).
cpu_ticks() {
  local t=0 p
  for p in "$1" $(pgrep -P "$1" 2>/dev/null); do
    t=$((t + $(awk '{ print $14 + $15 }' "/proc/$p/stat" 2>/dev/null || echo 0)))
  done
  echo "$t"
}
tick_us=$(awk -v t="$(getconf CLK_TCK)" 'BEGIN { print 1000000 / t }')

# requests/s of one h2load run; "not 2xx" and failed counts go to $work/errors
run_h2load() {  # $1 label, $2 url, rest: h2load options
  local label=$1 url=$2 out rps total ok2xx
  shift 2
  out=$(timeout 600 "${client_cpu[@]}" h2load -t1 "$@" -d "$work/body" "$url" 2>&1) || true
  rps=$(sed -n 's/^finished in [0-9.]*m\{0,1\}s, \([0-9.]*\) req\/s.*/\1/p' <<<"$out")
  total=$(sed -n 's/^requests: \([0-9]*\) total.*/\1/p' <<<"$out")
  ok2xx=$(sed -n 's/^status codes: \([0-9]*\) 2xx.*/\1/p' <<<"$out")
  if [ -z "$rps" ] || [ "${total:-0}" != "${ok2xx:-x}" ]; then
    echo "$label: $((${total:-0} - ${ok2xx:-0})) of ${total:-0} not 2xx" >>"$work/errors"
  fi
  echo "${rps:-0}"
}

# Idle HTTP/2 connections: preface and SETTINGS, then only the ACKs a live
# client owes (SETTINGS, PING). Writes "held N" to $2 once all are open and
# holds them until it is ended.
cat >"$work/idle.py" <<'PY'
import selectors, socket, struct, sys
port, count, mark = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
sel, bufs = selectors.DefaultSelector(), {}
hello = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" + b"\x00\x00\x00\x04\x00\x00\x00\x00\x00"
for _ in range(count):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(hello)
    s.setblocking(False)
    bufs[s] = b""
    sel.register(s, selectors.EVENT_READ)
with open(mark, "w") as f:
    f.write("held %d\n" % len(bufs))
while bufs:
    for key, _ in sel.select():
        s = key.fileobj
        try:
            data = s.recv(65536)
        except OSError:
            data = b""
        if not data:
            sel.unregister(s)
            del bufs[s]
            continue
        b = bufs[s] + data
        out = b""
        while len(b) >= 9 and len(b) >= 9 + int.from_bytes(b[:3], "big"):
            n, ftype, flags = int.from_bytes(b[:3], "big"), b[3], b[4]
            if ftype == 4 and not flags & 1:
                out += b"\x00\x00\x00\x04\x01\x00\x00\x00\x00"
            elif ftype == 6 and not flags & 1:
                out += b"\x00\x00\x08\x06\x01\x00\x00\x00\x00" + b[9:17]
            b = b[9 + n:]
        try:
            if out:
                s.sendall(out)
        except OSError:
            pass  # closed by the server: the next read says so
        bufs[s] = b
PY
hold_idle() {  # $1 port; starts the holder and waits until it holds them all
  local mark="$work/idle.$1"
  rm -f "$mark"
  "${client_cpu[@]}" /usr/bin/python3 "$work/idle.py" "$1" "$idle" "$mark" &
  pids+=($!)
  holder=$!
  for _ in $(seq 1200); do
    # Held; then time for both sides to finish the SETTINGS exchange.
    [ -s "$mark" ] && sleep 2 && return 0
    sleep 0.1
  done
  echo "bench: idle connections not held on port $1" >&2
  exit 1
}
release_idle() {
  kill -TERM "$holder" 2>/dev/null || true
  wait "$holder" 2>/dev/null || true
  sleep 1  # the server sees them go before the next run
}

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR == 0) print 0; else print v[int((NR + 1) / 2)] }'; }

requests() { awk -v n="$1" -v s="$scale" 'BEGIN { v = int(n * s); if (v < 1) v = 1; print v }'; }
# name form h2load-options
workloads=("W1 h2c -c1 -m1 -n$(requests 20000)" "W2 h2c -c10 -m10 -n$(requests 100000)"
           "W3 h2c -c200 -m1 -n$(requests 20000)" "W4 tls -c10 -m10 -n$(requests 100000)"
           "W5 tls2 -c$(requests 1000) -m1 -n$(requests 1000)" "W6 h2c -c10 -m10 -n$(requests 100000)")
declare -A results cpu
for ((r = 1; r <= rounds; r++)); do
  for w in "${workloads[@]}"; do
    read -r name form opts <<<"$w"
    scheme=http
    [ "${form#tls}" != "$form" ] && scheme=https
    n=${opts##*-n}
    # A W5 run lasts under a second and single runs spread by about 15%:
    # it runs w5_reps times a round, so that its median is as steady as
    # the others'.
    reps=1
    [ "$name" = W5 ] && reps=$w5_reps
    for ((j = 0; j < reps; j++)); do
      # Rotate which server goes first from run to run.
      k=$(((r + j) % ${#servers[@]}))
      order=("${servers[@]:k}" "${servers[@]:0:k}")
      for srv in "${order[@]}"; do
        key="${srv}_${form}"
        pidvar="pid_$key"
        [ "$name" = W5 ] && [ "$srv" = node ] && continue
        if [ "$name" = W6 ]; then
          [ "$srv" = ours ] || [ "$srv" = h2o ] || continue
          hold_idle "${port[$key]}"
        fi
        before=$(cpu_ticks "${!pidvar}")
        # shellcheck disable=SC2086
        rps=$(run_h2load "$key $name" "$scheme://127.0.0.1:${port[$key]}/test/test" $opts)
        after=$(cpu_ticks "${!pidvar}")
        [ "$name" = W6 ] && release_idle
        results["$srv $name"]+="$rps "
        cpu["$srv $name"]+="$(awk -v d=$((after - before)) -v u="$tick_us" -v n="$n" 'BEGIN { print d * u / n }') "
      done
    done
  done
done

peak_kb() { awk '/^VmHWM:/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0; }
med_of() { tr ' ' '\n' <<<"$1" | { grep . || true; } | median; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }

out_dir=${QIR_BENCH_OUT:-$root/build/bench}
mkdir -p "$out_dir"
{
  printf 'h2srv-sample vs h2o (mruby echo), nghttpd --echo-upload and Node (http2 echo): h2load -t1, 4096-byte POST, %s round(s), median req/s; CPU: server CPU time per request (us)\n\n' \
    "$rounds"
  printf '| workload | h2srv-sample | h2o | nghttpd | node | ours/h2o | ours/nghttpd | ours/node | CPU ours | CPU h2o | CPU nghttpd | CPU node |\n'
  printf '|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n'
  : >"$work/ratios.dat"
  for w in "${workloads[@]}"; do
    read -r name form opts <<<"$w"
    # W6 measures ours and h2o only, W5 leaves Node out: their cells stay empty.
    ours=$(med_of "${results["ours $name"]:-}")
    h2o=$(med_of "${results["h2o $name"]:-}")
    ngh=$(med_of "${results["nghttpd $name"]:-}")
    node=$(med_of "${results["node $name"]:-}")
    printf '| %s %s %s | %.0f | %.0f | %.0f | %.0f | %s | %s | %s | %.1f | %.1f | %.1f | %.1f |\n' \
      "$name" "$form" "${opts% -n*}" "$ours" "$h2o" "$ngh" "$node" "$(ratio "$ours" "$h2o")" \
      "$(ratio "$ours" "$ngh")" "$(ratio "$ours" "$node")" "$(med_of "${cpu["ours $name"]:-}")" \
      "$(med_of "${cpu["h2o $name"]:-}")" "$(med_of "${cpu["nghttpd $name"]:-}")" \
      "$(med_of "${cpu["node $name"]:-}")"
    printf '"%s %s %s" %s %s %s\n' "$name" "$form" "${opts% -n*}" "$(ratio "$ours" "$h2o")" \
      "$(ratio "$ours" "$ngh")" "$(ratio "$ours" "$node")" >>"$work/ratios.dat"
  done
  # One request at a time cannot beat one connection trading the same bytes
  # with blocking calls.
  if cc -O2 -o "$work/loopback-floor" BENCH/loopback-floor.c 2>/dev/null; then
    floor=$("$work/loopback-floor" "$(requests 20000)" "${server_cpu[@]:+0}" "${client_cpu[@]:+1}" |
      sed -n 's/^floor: \([0-9]*\) .*/\1/p')
    w1=$(med_of "${results["ours W1"]}")
    printf '\nW1 against the loopback floor (one connection, 4096 bytes each way): %.0f of %s round trips/s = %s\n' \
      "$w1" "${floor:-0}" "$(ratio "$w1" "${floor:-0}")"
  fi
} | tee "$out_dir/bench.md"

if command -v gnuplot >/dev/null; then
  gnuplot <<PLOT
set terminal svg size 720,360 dynamic font "sans,12" background rgb "white"
set output "$out_dir/bench.svg"
set title "h2srv-sample throughput relative to peers (same run; 1.0 = equal)"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set boxwidth 0.9
set yrange [0:*]
set ylabel "ours / peer (req/s)"
set grid ytics
set key top left
set datafile missing "n/a"
plot "$work/ratios.dat" using 2:xtic(1) title "ours / h2o (mruby echo)" lc rgb "#3b6fb6", \
     "" using 3 title "ours / nghttpd --echo-upload" lc rgb "#e08a2c", \
     "" using 4 title "ours / Node (http2 echo)" lc rgb "#5a9e4b", \
     1 with lines dashtype 2 lc rgb "black" notitle
PLOT
  printf '\nratio table: %s\nchart: %s\n' "$out_dir/bench.md" "$out_dir/bench.svg"
fi

# requests/s of one h2sync-client run, from its line "N elapsed...S... tps=R"
run_client() {  # $1 label, $2 port, $3 count, rest: client options
  local label=$1 port=$2 count=$3 out done_count
  shift 3
  out=$(echo | timeout 600 "${client_cpu[@]}" "$root/build/h2sync-client" -h 127.0.0.1 \
    -p "$port" -c "$count" "$@" 2>&1 | grep ' elapsed\.\.\.' || true)
  done_count=${out%% *}
  if [ "${done_count:-0}" != "$count" ]; then
    echo "$label: h2sync-client finished ${done_count:-0} of $count requests" >>"$work/errors"
  fi
  echo "${out##*tps=}"
}

n_client=$(requests 20000)
declare -A client_results
for ((r = 1; r <= rounds; r++)); do
  for form in tls h2c; do
    if [ "$form" = tls ]; then
      client_args=(-p "${port[ours_tls]}")
      url="https://127.0.0.1:${port[ours_tls]}/test/test"
    else
      client_args=(-p "${port[ours_up]}" -u)
      url="http://127.0.0.1:${port[ours_h2c]}/test/test"
    fi
    order=(client h2load)
    ((r % 2 == 0)) && order=(h2load client)
    for who in "${order[@]}"; do
      if [ "$who" = client ]; then
        rps=$(run_client "h2sync-client $form" "${client_args[1]}" "$n_client" "${client_args[@]:2}")
      else
        rps=$(run_h2load "h2load-c1m1 $form" "$url" -c1 -m1 -n"$n_client")
      fi
      client_results["$who $form"]+="$rps "
    done
  done
done

printf '\nh2sync-client -c %s vs h2load -t1 -c1 -m1 -n %s on h2srv-sample, 4096-byte POST, median req/s\n\n' \
  "$n_client" "$n_client"
printf '| form | h2sync-client | h2load | ratio |\n|---|---:|---:|---:|\n'
for form in tls h2c; do
  ours=$(tr ' ' '\n' <<<"${client_results["client $form"]}" | grep . | median)
  peer=$(tr ' ' '\n' <<<"${client_results["h2load $form"]}" | grep . | median)
  ratio=$(awk -v a="$ours" -v b="$peer" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }')
  label=$form
  [ "$form" = h2c ] && label="h2c (client: upgrade, h2load: preface)"
  printf '| %s | %.0f | %.0f | %s |\n' "$label" "$ours" "$peer" "$ratio"
done

printf '\npeak RSS (VmHWM):\n'
printf '  h2srv-sample h2c %6d kB   nghttpd h2c %6d kB\n' "$(peak_kb "$pid_ours_h2c")" "$(peak_kb "$pid_nghttpd_h2c")"
printf '  h2srv-sample tls %6d kB   nghttpd tls %6d kB\n' "$(peak_kb "$pid_ours_tls")" "$(peak_kb "$pid_nghttpd_tls")"
printf '  h2o (both ports) %6d kB\n' "$(peak_kb "$pid_h2o")"
[ -n "${pid_node:-}" ] && printf '  node (both ports) %6d kB\n' "$(peak_kb "$pid_node")"

if [ -s "$work/errors" ]; then
  printf '\nresponses that were not 2xx:\n'
  cat "$work/errors"
  exit 1
fi
