#!/usr/bin/env bash
# HTTP transport benchmarks on loopback, side by side with nginx serving a static
# JSON body of the same size as the echo reply. Bounded: every load runs for a fixed
# number of seconds against servers started here, and everything started is stopped.
#
#   bench/http/run.sh [BUILD_DIR] [SECONDS]
#
# BUILD_DIR defaults to build/release (configured with the release preset when missing).
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
. "$ROOT/bench/run_common.sh"
BUILD="${1:-$ROOT/build/release}"
SECS="${2:-10}"
CONNS=32

bench_require wrk nginx openssl curl
bench_build "$BUILD" http_echo_server http_tls_client_bench http_bench_client

WORK="$(mktemp -d)"
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
TCP_PORT=$(bench_free_port); TLS_PORT=$(bench_free_port); FULL_PORT=$(bench_free_port); NGINX_PORT=$(bench_free_port)
SOCK="$WORK/echo.sock"

# Server certificate for the TLS runs.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
  -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1 \
  -keyout "$WORK/key.pem" -out "$WORK/cert.pem" 2>/dev/null

"$BUILD/bench/http/http_echo_server" --tcp "$TCP_PORT" --unix "$SOCK" --tls "$TLS_PORT" \
  --tls-full "$FULL_PORT" --cert "$WORK/cert.pem" --key "$WORK/key.pem" --threads 2 >"$WORK/echo.log" 2>&1 &
ECHO_PID=$!
PIDS+=("$ECHO_PID")
for _ in $(seq 50); do grep -q ready "$WORK/echo.log" 2>/dev/null && break; sleep 0.1; done

# The trivial operation and its reply; nginx serves the same reply bytes.
printf '%s' '{"version":"1.1","id":"bench-1","method":"bench.http.echo.echo","params":{"context":{"app":{}},"input":{"text":"ping"}}}' >"$WORK/request.json"
curl -s -X POST -H 'Content-Type: application/json' --data-binary @"$WORK/request.json" \
  "http://127.0.0.1:$TCP_PORT/api" >"$WORK/reply.json"
REPLY_BYTES=$(wc -c <"$WORK/reply.json")
[ "$REPLY_BYTES" -gt 0 ] || { echo "echo server gave no reply"; cat "$WORK/echo.log"; exit 1; }

bench_nginx "$WORK" "$NGINX_PORT" "$WORK/reply.json"

lua() {
  cat >"$WORK/$1.lua" <<LUA
wrk.method = "POST"
wrk.body = io.open("$WORK/request.json"):read("*a")
wrk.headers["Content-Type"] = "application/json"
$2
LUA
}
lua keepalive ""
lua close 'wrk.headers["Connection"] = "close"'

# wrk: "rps p99_ms"
run_wrk() {
  local out
  out=$(wrk -t1 -c"$CONNS" -d"${SECS}s" --latency -s "$WORK/$2.lua" "http://127.0.0.1:$1/api")
  local rps p99
  rps=$(awk '/Requests\/sec/ {print $2}' <<<"$out")
  p99=$(awk '$1=="99%" {print $2}' <<<"$out")
  echo "$rps $p99"
}

echo "reply size: $REPLY_BYTES bytes; $CONNS connections; ${SECS}s per run"
printf '%-28s %12s %10s\n' "run" "req/s" "p99"
read -r E_KA E_KA99 <<<"$(run_wrk "$TCP_PORT" keepalive)"
read -r N_KA N_KA99 <<<"$(run_wrk "$NGINX_PORT" keepalive)"
read -r E_CL E_CL99 <<<"$(run_wrk "$TCP_PORT" close)"
read -r N_CL N_CL99 <<<"$(run_wrk "$NGINX_PORT" close)"
printf '%-28s %12s %10s\n' "echo TCP keep-alive" "$E_KA" "$E_KA99" "nginx TCP keep-alive" "$N_KA" "$N_KA99" \
  "echo TCP close" "$E_CL" "$E_CL99" "nginx TCP close" "$N_CL" "$N_CL99"

# Unix socket (wrk cannot): same client for the socket and for TCP, for a fair ratio.
UDS=$("$BUILD/bench/http/http_bench_client" load --unix "$SOCK" --conns "$CONNS" --seconds "$SECS" --body "$WORK/request.json")
TCPC=$("$BUILD/bench/http/http_bench_client" load --tcp "$TCP_PORT" --conns "$CONNS" --seconds "$SECS" --body "$WORK/request.json")
NGC=$("$BUILD/bench/http/http_bench_client" load --tcp "$NGINX_PORT" --conns "$CONNS" --seconds "$SECS" --body "$WORK/request.json")
val() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p" <<<"$2"; }
printf '%-28s %12s %10s\n' "echo Unix socket (own client)" "$(val rps "$UDS")" "$(val p99_us "$UDS")us" \
  "echo TCP (own client)" "$(val rps "$TCPC")" "$(val p99_us "$TCPC")us" \
  "nginx TCP (own client)" "$(val rps "$NGC")" "$(val p99_us "$NGC")us"

# TLS: a new connection per call through the client transport. Against a port that
# refuses resumption every call is a full handshake (baseline: s_time -new); against
# one that issues tickets every call after the first resumes (baseline: s_time -reuse).
stime() { # PORT -new|-reuse
  openssl s_time -connect "127.0.0.1:$1" "$2" -time "$SECS" -tls1_2 -CAfile "$WORK/cert.pem" 2>/dev/null | \
    awk '/connections in .* real seconds/ {printf "%.1f", $1/$4}'
}
TLS_FULL=$("$BUILD/bench/http/http_tls_client_bench" --port "$FULL_PORT" --ca "$WORK/cert.pem" --seconds "$SECS")
STIME_NEW=$(stime "$FULL_PORT" -new)
TLS_RESUMED=$("$BUILD/bench/http/http_tls_client_bench" --port "$TLS_PORT" --ca "$WORK/cert.pem" --seconds "$SECS")
STIME_REUSE=$(stime "$TLS_PORT" -reuse)
printf '%-28s %12s\n' "TLS client calls/s, full" "$(val calls_per_s "$TLS_FULL")" "openssl s_time -new conn/s" "$STIME_NEW" \
  "TLS client calls/s, resumed" "$(val calls_per_s "$TLS_RESUMED")" "openssl s_time -reuse conn/s" "$STIME_REUSE"

# Memory: RSS of the echo server before and with 1000 idle keep-alive connections.
ulimit -n 8192
rss() { awk '/VmRSS/ {print $2}' "/proc/$ECHO_PID/status"; }
BEFORE=$(rss)
"$BUILD/bench/http/http_bench_client" idle --tcp "$TCP_PORT" --conns 1000 --hold 6 --body "$WORK/request.json" >"$WORK/idle.out" &
IDLE_PID=$!
PIDS+=("$IDLE_PID")
for _ in $(seq 100); do grep -q idle= "$WORK/idle.out" 2>/dev/null && break; sleep 0.1; done
sleep 1
WITH=$(rss)
wait "$IDLE_PID" || true
printf '%-28s %12s\n' "RSS idle server (kB)" "$BEFORE" "RSS + 1000 idle conns (kB)" "$WITH"

echo
echo "ratios (echo / nginx): keep-alive $(ratio "$E_KA" "$N_KA"), close $(ratio "$E_CL" "$N_CL")"
echo "ratio Unix socket / TCP (own client): $(ratio "$(val rps "$UDS")" "$(val rps "$TCPC")")"
echo "ratio TLS client calls / s_time: full $(ratio "$(val calls_per_s "$TLS_FULL")" "$STIME_NEW"), resumed $(ratio "$(val calls_per_s "$TLS_RESUMED")" "$STIME_REUSE")"
echo "RSS per idle connection: $(awk -v a="$BEFORE" -v b="$WITH" 'BEGIN { printf "%.1f kB", (b - a) / 1000 }')"
