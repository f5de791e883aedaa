#!/usr/bin/env bash
# Installs what QIR needs to build and test on Debian. Safe to run again:
# only packages that are missing are installed.
set -euo pipefail

PACKAGES=(
  # build
  g++ cmake make pkg-config
  # the framework's libraries
  libnghttp2-dev libssl-dev liblz4-dev libsctp-dev rapidjson-dev
  # tests
  libgtest-dev libgmock-dev
  # fuzz targets (scripts/fuzz.sh): clang with libFuzzer and the sanitizer runtimes
  clang libclang-rt-14-dev
  # independent peers and tools the tests and benchmarks talk to
  curl openssl nghttp2-client nghttp2-server nghttp2-proxy python3 python3-h2 tshark procps time
  # the logger the log benchmark compares with
  libspdlog-dev
  # peer servers the interop tests and benchmarks pair ours with
  h2o
  # the load balancer the scale-out configuration is tested with
  haproxy
  # the benchmark's chart
  gnuplot-nox
  # TLS trust tests: a Go HTTP/2 client with a client certificate, built
  # offline from Debian's x/net
  golang-go golang-golang-x-net-dev
  # the metrics port's scraper and its linter (promtool)
  prometheus
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
