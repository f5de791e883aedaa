#!/usr/bin/env bash
# From nothing to a running echo server: dependencies, build, a self-signed
# certificate for the TLS port when the configured one does not exist, then
# h2srv-sample in the foreground (Ctrl-C stops it).
#   bash scripts/run-server.sh [CONFIG.ini]
# The default configuration serves h2c (HTTP/1.1 upgrade) on 18080 and TLS
# on 18443; try:  curl --http2 -d hello http://127.0.0.1:18080/echo
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

cfg=${1:-SAMPLE/NET/HTTP2/HTTP2SRV/h2srv-sample.ini}
if [ ! -r "$cfg" ]; then
  echo "run-server: cannot read $cfg" >&2
  exit 2
fi

bash scripts/setup.sh
cmake -S . -B build -DQIR_WERROR=ON >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target h2srv-sample

export QIR_H2SRV_CERT_DIR="${QIR_H2SRV_CERT_DIR:-$root/build/h2srv-cert}"

# Value of KEY in the INI's [SSL/TLS] section, $(NAME) references expanded
# from the environment as the server does.
ini_value() {
  local value
  value=$(awk -v key="$1" '
    /^\[/ { section = $0; next }
    section ~ /^\[SSL\/TLS\]/ {
      line = $0; sub(/^[ \t]+/, "", line)
      if (index(line, "=") == 0) next
      k = substr(line, 1, index(line, "=") - 1); gsub(/[ \t]+$/, "", k)
      if (k != key) next
      v = substr(line, index(line, "=") + 1); gsub(/^[ \t]+|[ \t\r]+$/, "", v)
      print v; exit
    }' "$cfg")
  while [[ $value =~ \$\(([A-Za-z_][A-Za-z0-9_]*)\) ]]; do
    local name=${BASH_REMATCH[1]}
    value=${value//"\$($name)"/${!name:-}}
  done
  printf '%s' "$value"
}

use_ssl=$(ini_value USE_SSL | tr '[:upper:]' '[:lower:]')
if [[ $use_ssl =~ ^(true|yes|y|1)$ ]]; then
  key=$(ini_value SSL_KEY_FILE)
  crt=$(ini_value SSL_CRT_FILE)
  if [ ! -f "$key" ] || [ ! -f "$crt" ]; then
    echo "run-server: making a self-signed certificate: $crt"
    mkdir -p "$(dirname "$key")" "$(dirname "$crt")"
    openssl req -x509 -newkey rsa:2048 -nodes -days 365 -subj "/CN=localhost" \
      -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
      -keyout "$key" -out "$crt" 2>/dev/null
  fi
fi

exec build/h2srv-sample "$cfg"
