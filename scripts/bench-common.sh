# Sourced by the benchmark scripts: pinning, a scratch directory whose
# servers are ended by PID at exit, free ports, and a self-signed
# certificate. Set bench_name first (it names the scratch directory and
# prefixes messages).

server_cpu=()
client_cpu=()
if command -v taskset >/dev/null && [ "$(nproc)" -ge 2 ]; then
  server_cpu=(taskset -c 0)
  client_cpu=(taskset -c 1)
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/qir-$bench_name.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

wait_port() {
  for _ in $(seq 200); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
    sleep 0.05
  done
  echo "$bench_name: nothing listens on port $1" >&2
  exit 1
}

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost \
  -keyout "$work/server.key" -out "$work/server.crt" 2>/dev/null
