#!/usr/bin/env bash
# HTTP/2 conformance of the echo server: h2spec against h2srv-sample started
# with the shipped configuration, except that the cleartext port takes the
# connection preface (h2spec does not speak the HTTP/1.1 upgrade), on a free
# cleartext port and a free TLS port with a self-signed certificate.
#   bash scripts/conformance.sh [PATH_TO_H2SPEC]
# Without an argument h2spec is taken from PATH. Prints h2spec's summary
# lines for each port; h2spec's full reports stay in the work directory when
# QIR_CONFORMANCE_KEEP is set. Exit status: 0 when both runs pass, 1 when
# any test fails, 2 when h2spec is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

h2spec=${1:-$(command -v h2spec || true)}
if [ -z "$h2spec" ] || [ ! -x "$h2spec" ]; then
  echo "conformance: h2spec not found; give its path as the first argument or put it in PATH" >&2
  exit 2
fi

if [ ! -x build/h2srv-sample ]; then
  bash scripts/setup.sh
  cmake -S . -B build -DQIR_WERROR=ON >/dev/null
  cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target h2srv-sample >/dev/null
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/qir-conformance.XXXXXX")
pid=
cleanup() {
  if [ -n "$pid" ]; then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
  fi
  if [ -z "${QIR_CONFORMANCE_KEEP:-}" ]; then rm -rf "$work"; else echo "conformance: reports in $work"; fi
}
trap cleanup EXIT

free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

h2c=$(free_port)
tls=$(free_port)
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost \
  -keyout "$work/server.key" -out "$work/server.crt" 2>/dev/null
sed -e "s/^HTTP1X_UPGRADE.*/HTTP1X_UPGRADE = false/" \
  -e "s/^HTTP_PORT .*/HTTP_PORT   = $h2c/" -e "s/^HTTPS_PORT .*/HTTPS_PORT  = $tls/" \
  SAMPLE/NET/HTTP2/HTTP2SRV/h2srv-sample.ini >"$work/server.ini"

QIR_H2SRV_CERT_DIR=$work "$root/build/h2srv-sample" "$work/server.ini" >"$work/server.out" 2>&1 &
pid=$!
for p in "$h2c" "$tls"; do
  for _ in $(seq 200); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then break; fi
    kill -0 "$pid" 2>/dev/null || { cat "$work/server.out" >&2; exit 1; }
    sleep 0.05
  done
done

status=0
run() {  # $1 label, rest: h2spec arguments
  local label=$1
  shift
  "$h2spec" -h 127.0.0.1 -o 2 "$@" >"$work/h2spec-$label.txt" 2>&1 || status=1
  echo "== $label (h2spec $*)"
  # The summary is the last lines: "146 tests, 137 passed, 4 skipped, 5 failed".
  grep -aE '^[0-9]+ tests, ' "$work/h2spec-$label.txt" || tail -n 5 "$work/h2spec-$label.txt"
}
run preface -p "$h2c"
run tls -p "$tls" -t -k
exit "$status"
