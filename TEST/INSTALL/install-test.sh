#!/usr/bin/env bash
# Installs the build into a temporary prefix, builds TEST/INSTALL/app against
# it both ways (pkg-config with one g++ line; find_package with CMake) and
# runs both programs against the installed h2srv-sample on a free loopback
# port.
#   install-test.sh SOURCE_DIR BUILD_DIR [EXTRA_FLAGS]
# EXTRA_FLAGS are the sanitizer flags the library was built with: an
# application linking a sanitized libqir.a must be built with them too.
set -euo pipefail
src=$1 build=$2 flags=${3:-}
tmp=$(mktemp -d /tmp/qir_install_XXXXXX)
server=
cleanup() {
  if [ -n "$server" ]; then
    kill -TERM "$server" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$server" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$server" 2>/dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "install-test: $*" >&2; exit 1; }

prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in include/qir/CQIRHTTP2SRV.h include/qir/CQIRServiceLog.h lib/libqir.a \
         bin/h2srv-sample bin/h2sync-client lib/pkgconfig/qir.pc \
         lib/cmake/QIR/QIRConfig.cmake lib/cmake/QIR/QIRConfigVersion.cmake; do
  [ -e "$prefix/$f" ] || fail "not installed: $f"
done

# pkg-config: libqir.a is static, so --static brings in its dependencies.
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046,SC2086
g++ -std=c++17 $flags -o "$tmp/app-pc" "$src/TEST/INSTALL/app/main.cpp" \
    $(pkg-config --static --cflags --libs qir) || fail "pkg-config build failed"

cmake -S "$src/TEST/INSTALL/app" -B "$tmp/app-cmake" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS="$flags" \
      -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null || fail "find_package(QIR) failed"
cmake --build "$tmp/app-cmake" >/dev/null || fail "CMake build failed"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat > "$tmp/server.ini" <<INI
[SSL/TLS]
HTTP1X_UPGRADE = false
USE_SSL = false
[THREAD]
POOL_SIZE = 1
[LISTENER]
HTTP_PORT = $port
HTTP_IPNET = v4
INI
"$prefix/bin/h2srv-sample" "$tmp/server.ini" >"$tmp/server.out" 2>&1 &
server=$!
for _ in $(seq 300); do
  grep -q "Start listening" "$tmp/server.out" && break
  kill -0 "$server" 2>/dev/null || { cat "$tmp/server.out"; fail "server ended"; }
  sleep 0.05
done

for app in "$tmp/app-pc" "$tmp/app-cmake/qir-app"; do
  out=$(timeout 20 "$app" 127.0.0.1 "$port") || fail "$app: $out"
  [ "$out" = "200 hello from an installed QIR" ] || fail "$app answered: $out"
  echo "$(basename "$app"): $out"
done
