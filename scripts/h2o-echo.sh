#!/usr/bin/env bash
# Runs Debian's h2o in the foreground as an echo peer: POST /test/test (and
# any other path) answers 200 with the request body. Used by the end-to-end
# interop test and by the benchmarks, which pair our server with it.
#   scripts/h2o-echo.sh DIR PORT TLS_PORT CERT KEY [THREADS] [IDLE_TIMEOUT]
# DIR receives the configuration and h2o's logs. PORT is cleartext (h2c by
# preface and by HTTP/1.1 upgrade), TLS_PORT is TLS with ALPN h2; 0 leaves a
# port out. THREADS defaults to 1; IDLE_TIMEOUT (seconds) raises h2o's HTTP/2
# idle time-out (10 s), and its connection limit (1024) to 20000, for
# benchmarks that hold idle connections.
set -euo pipefail
if [ $# -lt 5 ]; then
  echo "usage: $0 DIR PORT TLS_PORT CERT KEY [THREADS]" >&2
  exit 2
fi
dir=$1 port=$2 tls_port=$3 cert=$4 key=$5 threads=${6:-1} idle=${7:-}
h2o_bin=$(command -v h2o || true)
if [ -z "$h2o_bin" ]; then
  echo "$0: h2o is not installed (Debian package h2o)" >&2
  exit 3
fi
mkdir -p "$dir"
conf=$dir/h2o.conf
{
  echo "num-threads: $threads"
  echo "error-log: $dir/h2o-error.log"
  echo "pid-file: $dir/h2o.pid"
  if [ -n "$idle" ]; then
    echo "http2-idle-timeout: $idle"
    echo "max-connections: 20000"
  fi
  if [ "$(id -u)" -eq 0 ]; then echo "user: root"; fi
  if [ "$port" != 0 ]; then
    printf 'listen:\n  host: 127.0.0.1\n  port: %s\n' "$port"
  fi
  if [ "$tls_port" != 0 ]; then
    printf 'listen:\n  host: 127.0.0.1\n  port: %s\n  ssl:\n    certificate-file: %s\n    key-file: %s\n' \
      "$tls_port" "$cert" "$key"
  fi
  cat <<'CONF'
hosts:
  default:
    paths:
      /:
        mruby.handler: |
          Proc.new do |env|
            input = env["rack.input"]
            body = input ? input.read : ""
            [200, {"content-length" => body.bytesize.to_s}, [body]]
          end
CONF
} > "$conf"
exec "$h2o_bin" -c "$conf"
