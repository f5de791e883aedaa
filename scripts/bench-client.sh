#!/usr/bin/env bash
# One request at a time over one HTTP/2 connection: h2sync-client next to
# h2load -c1 -m1, both against the same h2srv-sample in the same run, with
# 4096-byte POST bodies. Prints both request rates and their ratio.
#   bash scripts/bench-client.sh [count]      count defaults to 20000
# The programs come from ${QIR_BUILD_DIR:-build}; build it first.
#
# h2load cannot do the HTTP/1.1 upgrade, so the cleartext row compares our
# client's upgrade connection with h2load's prior-knowledge connection to a
# second server instance whose http port takes the connection preface.
set -euo pipefail
cd "$(dirname "$0")/.."

count="${1:-20000}"
build="${QIR_BUILD_DIR:-build}"
client="$build/h2sync-client"
server="$build/h2srv-sample"
for p in "$client" "$server" "$(command -v h2load || true)"; do
  if [ -z "$p" ] || [ ! -x "$p" ]; then
    echo "bench-client: missing ${p:-h2load} (build first; h2load is in nghttp2-client)" >&2
    exit 2
  fi
done

work="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
wait_port() {
  for _ in $(seq 500); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
    sleep 0.01
  done
  echo "bench-client: nothing listens on port $1" >&2
  return 1
}

# start_server UPGRADE HTTP_PORT HTTPS_PORT
start_server() {
  local ini="$work/server-$2.ini"
  cat >"$ini" <<EOF
[SSL/TLS]
HTTP1X_UPGRADE = $1
USE_SSL = true
SSL_KEY_FILE = $work/key.pem
SSL_CRT_FILE = $work/cert.pem
SSL_CA_FILE = n/a
[THREAD]
POOL_SIZE = 1
[LISTENER]
HTTP_PORT = $2
HTTPS_PORT = $3
[HTTP2_OPTIONS]
MAX_CONCURRENT_STREAM = 100
EOF
  "$server" "$ini" >/dev/null 2>&1 &
  pids+=($!)
  wait_port "$2"
  wait_port "$3"
}

# Requests per second from h2sync-client's summary line "N elapsed...S... tps=R".
client_rate() {
  local out
  out="$(echo | "$client" -h 127.0.0.1 -c "$count" "$@" | grep ' elapsed\.\.\.' || true)"
  local done_count="${out%% *}"
  if [ "$done_count" != "$count" ]; then
    echo "bench-client: h2sync-client $* finished ${done_count:-0} of $count requests" >&2
    exit 1
  fi
  echo "${out##*tps=}"
}

# Requests per second from h2load's "finished in Ts, R req/s, ..." line.
h2load_rate() {
  local out
  out="$(h2load -c1 -m1 -n "$count" -d "$work/body" "$1" | grep '^finished in')"
  echo "$out" | sed -E 's/.*, ([0-9.]+) req\/s.*/\1/'
}

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
  -days 1 -subj /CN=localhost >/dev/null 2>&1
head -c 4096 /dev/zero | tr '\0' 'b' >"$work/body"

http_up="$(free_port)"; https_port="$(free_port)"
start_server true "$http_up" "$https_port"
http_direct="$(free_port)"; https_other="$(free_port)"
start_server false "$http_direct" "$https_other"

tls_client="$(client_rate -p "$https_port")"
tls_h2load="$(h2load_rate "https://127.0.0.1:$https_port/test/test")"
up_client="$(client_rate -p "$http_up" -u)"
clear_h2load="$(h2load_rate "http://127.0.0.1:$http_direct/test/test")"

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
printf '%-44s %12s %12s %7s\n' "h2srv-sample, $count requests, c1 m1, 4096 B" "h2sync-client" "h2load" "ratio"
printf '%-44s %12.0f %12.0f %7s\n' "TLS (ALPN h2)" "$tls_client" "$tls_h2load" "$(ratio "$tls_client" "$tls_h2load")"
printf '%-44s %12.0f %12.0f %7s\n' "cleartext (client: upgrade, h2load: preface)" "$up_client" "$clear_h2load" "$(ratio "$up_client" "$clear_h2load")"
