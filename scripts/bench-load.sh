#!/usr/bin/env bash
# The server under load and attack: prints the figures of four checks (a
# benchmark, not a test; nothing here fails on a slow figure).
#
#   bash scripts/bench-load.sh
#   QIR_H2SRV=/path/to/h2srv-sample bash scripts/bench-load.sh   (another build)
#   QIR_BENCH_LOAD_CHECKS=3 bash scripts/bench-load.sh             (some checks only)
#
# 1. Silent clients: 50 TCP clients per port connect and send nothing (each
#    one closed by the server is replaced at once), then 20 curl requests per
#    port, one after another: how many were answered within 100 ms, the
#    slowest, and how many got no answer within 5 s.
# 2. Fairness: h2load -c8 -m99 with 64 KiB POST bodies against a one-worker
#    server, and meanwhile 20 separate curl requests: answered within 50 ms,
#    the slowest.
# 3. Memory: resident set (VmRSS) per idle connection (400 connections that
#    sent the preface and SETTINGS), per connection left idle after a burst
#    (200 connections that each had 30 POSTs of 4096 bytes in flight, then
#    nothing for 3 s), per busy connection (peak VmHWM over
#    h2load -c50 -m100 4096-byte POST, per connection), and the resident set
#    15 s after the last connection closed against the one before the load.
# Servers get one worker thread, core 0 where taskset exists; the clients
# core 1.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bin=${QIR_H2SRV:-}
if [ -z "$bin" ]; then
  bash scripts/setup.sh
  cmake -S . -B build -DQIR_WERROR=ON >/dev/null
  cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target h2srv-sample >/dev/null
  bin=$root/build/h2srv-sample
fi
py=/usr/bin/python3
checks=${QIR_BENCH_LOAD_CHECKS:-123}

bench_name=bench-load
# shellcheck source=scripts/bench-common.sh
source scripts/bench-common.sh
head -c 4096 /dev/urandom >"$work/body4k"
head -c 65536 /dev/urandom >"$work/body64k"

ini() {  # $1 file, $2 http port, $3 https port (0: none), $4 upgrade
  {
    echo "[SSL/TLS]"
    echo "HTTP1X_UPGRADE = $4"
    if [ "$3" != 0 ]; then
      echo "USE_SSL = true"
      echo "SSL_KEY_FILE = $work/server.key"
      echo "SSL_CRT_FILE = $work/server.crt"
      echo "SSL_CA_FILE = n/a"
    else
      echo "USE_SSL = false"
    fi
    echo "[THREAD]"
    echo "POOL_SIZE = 1"
    echo "[LISTENER]"
    echo "HTTP_PORT = $2"
    if [ "$3" != 0 ]; then echo "HTTPS_PORT = $3"; fi
    echo "[HTTP2_OPTIONS]"
    echo "MAX_CONCURRENT_STREAM = 100"
    echo "PING_PERIOD = 60"
    echo "PING_TIMEOUT = 10"
  } >"$1"
}

start_server() {  # $1 ini; pid in $server_pid
  "${server_cpu[@]}" "$bin" "$1" >/dev/null 2>&1 &
  server_pid=$!
  pids+=("$server_pid")
}

stop_server() {
  kill -TERM "$server_pid" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$server_pid" 2>/dev/null || true
}

rss_kb() { awk -v k="$2" '$1 == k":" { print $2 }' "/proc/$1/status"; }

# Times of n curl requests in ms, one a line ("fail" when none within 5 s).
time_curls() {  # $1 n, rest: curl arguments
  local n=$1 t
  shift
  for _ in $(seq "$n"); do
    if t=$("${client_cpu[@]}" curl -s -o /dev/null -m 5 -w '%{http_code} %{time_total}' "$@"); then
      if [ "${t%% *}" = 200 ]; then
        awk -v s="${t#* }" 'BEGIN { printf "%.1f\n", s * 1000 }'
        continue
      fi
    fi
    echo fail
  done
}

# "k of n within X ms, slowest S ms, f failed"
summary() {  # $1 bound ms, stdin: times
  awk -v b="$1" '
    $1 == "fail" { f++; n++; next }
    { n++; if ($1 <= b) k++; if ($1 > m) m = $1 }
    END { printf "%d of %d within %d ms, slowest %.1f ms, %d without answer in 5 s\n", k, n, b, m, f }'
}

# ---- 1. silent clients ----
if [[ $checks == *1* ]]; then
p_http=$(free_port)
p_https=$(free_port)
ini "$work/silent.ini" "$p_http" "$p_https" true
start_server "$work/silent.ini"
wait_port "$p_http"
wait_port "$p_https"

cat >"$work/silent.py" <<'EOF'
# Holds N silent TCP connections per port; replaces each one the server
# closes. Runs until killed.
import selectors, socket, sys
n = int(sys.argv[1]); ports = [int(p) for p in sys.argv[2:]]
sel = selectors.DefaultSelector()
def open_one(port):
    s = socket.socket()
    s.setblocking(False)
    s.connect_ex(("127.0.0.1", port))
    sel.register(s, selectors.EVENT_READ, port)
for p in ports:
    for _ in range(n):
        open_one(p)
while True:
    for key, _ in sel.select(1.0):
        s = key.fileobj
        try:
            data = s.recv(4096)
        except OSError:
            data = b""
        if not data:
            sel.unregister(s); s.close(); open_one(key.data)
EOF
"${client_cpu[@]}" $py "$work/silent.py" 50 "$p_http" "$p_https" &
silent_pid=$!
pids+=("$silent_pid")
sleep 0.5
printf '\n1. 50 silent TCP clients on each port (replaced when closed), then 20 requests per port\n'
printf '  http  (upgrade): %s\n' "$(time_curls 20 --http2 -d @"$work/body4k" "http://127.0.0.1:$p_http/silent" | summary 100)"
printf '  https (ALPN h2): %s\n' "$(time_curls 20 --http2 -k -d @"$work/body4k" "https://127.0.0.1:$p_https/silent" | summary 100)"
kill -TERM "$silent_pid" 2>/dev/null || true
wait "$silent_pid" 2>/dev/null || true
stop_server

fi

# ---- 2. fairness ----
if [[ $checks == *2* ]]; then
p_h2c=$(free_port)
ini "$work/fair.ini" "$p_h2c" 0 false
start_server "$work/fair.ini"
wait_port "$p_h2c"
"${client_cpu[@]}" timeout 120 h2load -t1 -c8 -m99 -D 30 -d "$work/body64k" \
  "http://127.0.0.1:$p_h2c/load" >"$work/h2load-fair.txt" 2>&1 &
load_pid=$!
pids+=("$load_pid")
sleep 2
printf '\n2. h2load -c8 -m99, 64 KiB POST bodies, against one worker; meanwhile 20 requests\n'
printf '  %s\n' "$(time_curls 20 --http2-prior-knowledge -d @"$work/body4k" "http://127.0.0.1:$p_h2c/probe" | summary 50)"
kill -TERM "$load_pid" 2>/dev/null || true
wait "$load_pid" 2>/dev/null || true
stop_server

fi

# ---- 3. memory ----
if [[ $checks == *3* ]]; then
p_mem=$(free_port)
ini "$work/mem.ini" "$p_mem" 0 false
start_server "$work/mem.ini"
wait_port "$p_mem"
sleep 0.5
base=$(rss_kb "$server_pid" VmRSS)

cat >"$work/idle.py" <<'EOF'
# Opens N HTTP/2 connections (preface and an empty SETTINGS), waits until
# the server's SETTINGS arrived on each, then holds them until stdin closes.
import socket, sys, time
n, port = int(sys.argv[1]), int(sys.argv[2])
conns = []
for _ in range(n):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" + b"\x00\x00\x00\x04\x00\x00\x00\x00\x00")
    conns.append(s)
for s in conns:
    s.settimeout(5)
    s.recv(65536)
print("ready", flush=True)
sys.stdin.read()
EOF
n_idle=400
coproc IDLE { "${client_cpu[@]}" $py "$work/idle.py" "$n_idle" "$p_mem"; }
read -r _ <&"${IDLE[0]}"
sleep 1
idle_rss=$(rss_kb "$server_pid" VmRSS)
exec {IDLE[1]}>&-
wait "$IDLE_PID" 2>/dev/null || true

cat >"$work/burst.py" <<'EOF'
# N connections each run 30 POSTs of 4096 bytes at once (as the window
# allows) and read every answer; then they stay idle until stdin closes.
import socket, sys
import h2.config, h2.connection, h2.events
n, port = int(sys.argv[1]), int(sys.argv[2])
body = b"x" * 4096
conns = []
for _ in range(n):
    s = socket.create_connection(("127.0.0.1", port))
    c = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True))
    c.initiate_connection()
    c.increment_flow_control_window(1 << 24)
    s.sendall(c.data_to_send())
    conns.append((s, c))
for s, c in conns:
    left = {}
    for _ in range(30):
        sid = c.get_next_available_stream_id()
        c.send_headers(sid, [(":method", "POST"), (":path", "/burst"), (":scheme", "http"),
                             (":authority", "127.0.0.1")])
        left[sid] = body
    done = 0
    for _ in range(10000):
        for sid in list(left):
            k = min(len(left[sid]), c.local_flow_control_window(sid))
            if k > 0:
                c.send_data(sid, left[sid][:k], end_stream=(k == len(left[sid])))
                left[sid] = left[sid][k:]
                if not left[sid]:
                    del left[sid]
        s.sendall(c.data_to_send())
        if done == 30:
            break
        for e in c.receive_data(s.recv(1 << 20)):
            if isinstance(e, h2.events.StreamEnded):
                done += 1
            elif isinstance(e, h2.events.DataReceived):
                c.acknowledge_received_data(e.flow_controlled_length, e.stream_id)
print("ready", flush=True)
sys.stdin.read()
EOF
n_burst=200
before_burst=$(rss_kb "$server_pid" VmRSS)
coproc BURST { "${client_cpu[@]}" $py "$work/burst.py" "$n_burst" "$p_mem"; }
read -r _ <&"${BURST[0]}"
sleep 3
burst_rss=$(rss_kb "$server_pid" VmRSS)
exec {BURST[1]}>&-
wait "$BURST_PID" 2>/dev/null || true

"${client_cpu[@]}" timeout 300 h2load -t1 -c50 -m100 -n100000 -d "$work/body4k" \
  "http://127.0.0.1:$p_mem/busy" >"$work/h2load-mem.txt" 2>&1 || true
peak=$(rss_kb "$server_pid" VmHWM)
sleep 15
after=$(rss_kb "$server_pid" VmRSS)
printf '\n3. memory (kB): resident before load %d\n' "$base"
printf '  per idle connection (%d held): %.1f kB\n' "$n_idle" "$(awk -v a="$idle_rss" -v b="$base" -v n="$n_idle" 'BEGIN { print (a - b) / n }')"
printf '  per connection idle 3 s after a burst (%d held): %.1f kB\n' "$n_burst" "$(awk -v a="$burst_rss" -v b="$before_burst" -v n="$n_burst" 'BEGIN { print (a - b) / n }')"
printf '  per busy connection (h2load -c50 -m100, peak %d kB): %.1f kB\n' "$peak" "$(awk -v a="$peak" -v b="$base" 'BEGIN { print (a - b) / 50 }')"
printf '  15 s after the last connection closed: %d kB (%.2fx the resident set before)\n' "$after" "$(awk -v a="$after" -v b="$base" 'BEGIN { print a / b }')"
stop_server
fi
