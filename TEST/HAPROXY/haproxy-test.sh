#!/usr/bin/env bash
# SAMPLE/NET/HTTP2/HAPROXY/haproxy.cfg on loopback, in front of three
# h2srv-sample processes, loaded by h2load: requests spread over the
# backends; one stopped with SIGTERM under load drains with no request
# failed; one killed with SIGKILL is taken out by the health check, after
# which no request fails. Prints the figures of each step.
#   haproxy-test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1 build=$2
server=$build/h2srv-sample
for tool in haproxy h2load curl openssl python3; do
  command -v "$tool" >/dev/null || { echo "haproxy-test: SKIP: $tool is not installed"; exit 0; }
done

tmp=$(mktemp -d /tmp/qir_haproxy_XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do
    for _ in $(seq 100); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$p" 2>/dev/null || true
  done
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() {
  echo "haproxy-test: FAIL: $*" >&2
  echo "--- haproxy:" >&2; tail -20 "$tmp/haproxy.err" >&2 || true
  exit 1
}

read -r p_h2c p_tls p1 p2 p3 < <(python3 -c '
import socket
ss = [socket.socket() for _ in range(5)]
for s in ss: s.bind(("127.0.0.1", 0))
print(*[s.getsockname()[1] for s in ss])')

wait_for() {  # wait_for FILE TEXT: at most 15 s
  for _ in $(seq 300); do grep -q -- "$2" "$1" 2>/dev/null && return 0; sleep 0.05; done
  return 1
}

declare -A backend_pid
for i in 1 2 3; do
  port_var=p$i
  # HAProxy 2.6 never shrinks its HPACK encoder table to a smaller
  # SETTINGS_HEADER_TABLE_SIZE: a backend that announced one would fail its
  # first request with COMPRESSION_ERROR.
  printf '[SSL/TLS]\nUSE_SSL = false\nHTTP1X_UPGRADE = false\n[THREAD]\nPOOL_SIZE = 1\n[LISTENER]\nHTTP_PORT = %s\n[HTTP2_OPTIONS]\nPING_PERIOD = 30\nHEADER_TABLE_SIZE = 4096\n' \
    "${!port_var}" > "$tmp/echo$i.ini"
  "$server" "$tmp/echo$i.ini" >"$tmp/echo$i.out" 2>&1 &
  backend_pid[$i]=$!
  pids+=($!)
done
for i in 1 2 3; do wait_for "$tmp/echo$i.out" "Start listening" || fail "echo$i did not start"; done

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost \
  -keyout "$tmp/lb.key" -out "$tmp/lb.crt" 2>/dev/null
cat "$tmp/lb.key" "$tmp/lb.crt" > "$tmp/lb.pem"
QIR_LB_H2C=127.0.0.1:$p_h2c QIR_LB_TLS=127.0.0.1:$p_tls QIR_LB_PEM=$tmp/lb.pem \
QIR_BACKEND1=127.0.0.1:$p1 QIR_BACKEND2=127.0.0.1:$p2 QIR_BACKEND3=127.0.0.1:$p3 \
  haproxy -db -f "$src/SAMPLE/NET/HTTP2/HAPROXY/haproxy.cfg" >"$tmp/haproxy.out" 2>"$tmp/haproxy.err" &
pids+=($!)
for _ in $(seq 300); do
  (exec 3<>"/dev/tcp/127.0.0.1/$p_h2c") 2>/dev/null && break
  sleep 0.05
done

echo hello > "$tmp/body"
lb=http://127.0.0.1:$p_h2c/echo
requests() { grep -c "^:path : /echo$" "$1" || true; }

# h2load's failures: requests not answered plus answers that are not 2xx.
failed() {
  awk '/^requests:/ { for (i = 1; i <= NF; i++) if ($(i+1) ~ /^succeeded/) ok = $i; total = $2 }
       /^status codes:/ { two = $3 }
       END { if (total == "") print "no-output"; else print (total - ok) + (ok - two) }' "$1"
}

# 1. Spread, over both frontends.
out=$(curl -sS --http2-prior-knowledge -d via-h2c "$lb" 2>&1) || true
[ "$out" = via-h2c ] || fail "h2c frontend answered: $out"
out=$(curl -sS -k --http2 -w ' %{http_version}' -d via-tls "https://127.0.0.1:$p_tls/echo" 2>&1) || true
[ "$out" = "via-tls 2" ] || fail "TLS frontend answered: $out"
h2load -n 600 -c 3 -m 4 -d "$tmp/body" "$lb" > "$tmp/spread.txt" 2>&1 || true
[ "$(failed "$tmp/spread.txt")" = 0 ] || { cat "$tmp/spread.txt"; fail "requests failed while all backends were up"; }
r1=$(requests "$tmp/echo1.out") r2=$(requests "$tmp/echo2.out") r3=$(requests "$tmp/echo3.out")
total=$((r1 + r2 + r3))
[ "$total" -eq 602 ] || fail "backends saw $total requests, not 602"
for r in $r1 $r2 $r3; do
  [ "$r" -ge $((total / 6)) ] || fail "requests not spread: $r1 $r2 $r3"
done

# signal_under_load SIGNAL N FILE: SIGNAL to echoN a second into a 4 s load
# whose figures go to FILE; echoN's exit status in $status.
signal_under_load() {
  h2load -D 4 -c 4 -m 2 --rps 50 -d "$tmp/body" "$lb" > "$3" 2>&1 &
  local load=$!
  sleep 1
  kill -"$1" "${backend_pid[$2]}"
  status=0
  wait "${backend_pid[$2]}" 2>/dev/null || status=$?
  wait "$load" || true
}

# 2. SIGTERM to echo1.
signal_under_load TERM 1 "$tmp/drain.txt"
[ "$status" -eq 0 ] || fail "echo1 exited $status after SIGTERM"
drain_failed=$(failed "$tmp/drain.txt")
drain_served=$(( $(requests "$tmp/echo1.out") - r1 ))

# 3. SIGKILL to echo2, then load again once the check has taken it out.
signal_under_load KILL 2 "$tmp/kill.txt"
kill_failed=$(failed "$tmp/kill.txt")
wait_for "$tmp/haproxy.err" "qir_echo/echo2 is DOWN" || fail "the health check did not take echo2 out"
h2load -n 300 -c 3 -m 4 -d "$tmp/body" "$lb" > "$tmp/after.txt" 2>&1 || true
after_failed=$(failed "$tmp/after.txt")

echo "haproxy-test: requests per backend (600 h2load + 2 curl): echo1=$r1 echo2=$r2 echo3=$r3"
echo "haproxy-test: drain (SIGTERM echo1, which served $drain_served of them first): $(grep '^requests:' "$tmp/drain.txt"); failed=$drain_failed"
echo "haproxy-test: kill (SIGKILL echo2): $(grep '^requests:' "$tmp/kill.txt"); failed=$kill_failed"
echo "haproxy-test: after echo2 is DOWN: $(grep '^requests:' "$tmp/after.txt"); failed=$after_failed"
[ "$drain_failed" = 0 ] || { cat "$tmp/drain.txt"; fail "requests failed during the drain"; }
[ "$after_failed" = 0 ] || { cat "$tmp/after.txt"; fail "requests failed after the check took echo2 out"; }
