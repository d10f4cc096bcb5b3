#!/usr/bin/env bash
# Load on the running agent's management API: wrk on loopback against the agent's
# services listing (through the whole provider chain, token check included, and the
# trust state), side by side in the same run with nginx serving the same reply bytes
# and with the bare transport echo server of bench/http (the ceiling of the
# transport alone). Keep-alive, then a new connection per request. Each load runs
# ROUNDS times, the servers taking turns, and the median round is reported: on a
# machine whose cores are shared, one round of one server can be far off. Bounded in
# time; stops everything it starts.
#
#   bench/agent/run.sh [BUILD_DIR] [SECONDS] [ROUNDS]
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
. "$ROOT/bench/run_common.sh"
BUILD="$(realpath -m "${1:-$ROOT/build/release}")"
SECS="${2:-10}"
ROUNDS="${3:-3}"
CONNS=16

bench_require wrk nginx curl
bench_build "$BUILD" zarna hyperkern-emu zarnactl http_echo_server

WORK="$(mktemp -d)"
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
AGENT_PORT=$(bench_free_port); ECHO_PORT=$(bench_free_port); NGINX_PORT=$(bench_free_port)
ZARNACTL="$BUILD/tools/zarnactl/zarnactl"
# The API admits only token holders: a key pair for this run, and a token for wrk.
"$ZARNACTL" token-key generate --out "$WORK/api-token.key" >/dev/null
TOKEN=$("$ZARNACTL" token mint --token-key "$WORK/api-token.key" --privilege Zarna.Services.Read --lifetime 3600)

cat >"$WORK/config.xml" <<XML
<config>
  <log><level>warning</level></log>
  <configstore><path>$WORK/configstore.db</path></configstore>
  <hyperkern><channel>$WORK/hyperkern.sock</channel></hyperkern>
  <firewall><backend>file:$WORK/firewall.json</backend></firewall>
  <api><tcpPort>$AGENT_PORT</tcpPort><tokenKey>$WORK/api-token.key.pub</tokenKey>
       <metadataFile>$ROOT/api/zarn_ruvo_agent_metadata.json</metadataFile></api>
</config>
XML
"$BUILD/peers/hyperkern-emu/hyperkern-emu" serve --socket "$WORK/hyperkern.sock" >"$WORK/emu.log" 2>&1 &
PIDS+=($!)
for _ in $(seq 50); do [ -S "$WORK/hyperkern.sock" ] && break; sleep 0.1; done
(cd "$WORK" && ZARNA_CONFIG="$WORK/config.xml" exec "$BUILD/apps/zarna/zarna" 2>"$WORK/agent.log") &
AGENT=$!
PIDS+=($AGENT)
up=no
for _ in $(seq 100); do
  "$ZARNACTL" --token-key "$WORK/api-token.key" --tcp "127.0.0.1:$AGENT_PORT" attestation-services list >/dev/null 2>&1 && { up=yes; break; }
  sleep 0.1
done
[ "$up" = yes ] || { echo "agent did not come up:"; cat "$WORK/agent.log"; exit 1; }

# Ten configured groups, so the listing does real work.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=bench \
  -keyout "$WORK/ca.key" -out "$WORK/ca.pem" 2>/dev/null
for i in $(seq 1 10); do
  "$ZARNACTL" --token-key "$WORK/api-token.key" --tcp "127.0.0.1:$AGENT_PORT" attestation-services create \
    --host "127.0.0.$((i + 1))" --group "bench-$i" --ca-file "$WORK/ca.pem" >/dev/null
done

"$BUILD/bench/http/http_echo_server" --tcp "$ECHO_PORT" --threads 3 >"$WORK/echo.log" 2>&1 &
ECHO=$!
PIDS+=($ECHO)
for _ in $(seq 50); do grep -q ready "$WORK/echo.log" 2>/dev/null && break; sleep 0.1; done

AGENT_REQUEST='{"version":"1.1","id":"1","method":"com.talvor.brim.trusted_infrastructure.attestation.services.list","params":{"context":{"security":{"schemeId":"com.talvor.ruvo.std.security.oauth","accessToken":"'"$TOKEN"'"}},"input":{}}}'
curl -s -X POST -H 'Content-Type: application/json' --data-binary "$AGENT_REQUEST" \
  "http://127.0.0.1:$AGENT_PORT/api" >"$WORK/reply.json"
grep -q '"bench-10"' "$WORK/reply.json" || { echo "agent gave no listing:"; cat "$WORK/reply.json"; exit 1; }
bench_nginx "$WORK" "$NGINX_PORT" "$WORK/reply.json"
NGINX_PIDS="${PIDS[-1]} $(pgrep -P "${PIDS[-1]}" | tr '\n' ' ')"

post_script() { # name body [extra lua]
  cat >"$WORK/$1.lua" <<LUA
wrk.method = "POST"
wrk.headers["Content-Type"] = "application/json"
wrk.body = '$2'
${3:-}
LUA
}
post_script agent "$AGENT_REQUEST"
post_script agent-close "$AGENT_REQUEST" 'wrk.headers["Connection"] = "close"'
post_script echo '{"version":"1.1","id":"bench-1","method":"bench.http.echo.echo","params":{"context":{"app":{}},"input":{"text":"ping"}}}'

# CPU time (user and system, clock ticks) of the processes named.
cpu_ticks() { # PID...
  local total=0 p
  for p in "$@"; do
    total=$((total + $(awk '{print $14 + $15}' "/proc/$p/stat")))
  done
  echo "$total"
}
# wrk against PORT; "rps p99 cpu_us errors": the served processes' CPU time per request
# is steadier than the rate on a machine that shares its cores.
run() { # name port script pid...
  local name="$1" port="$2" script="$3"
  shift 3
  local before
  before=$(cpu_ticks "$@")
  wrk -t2 -c"$CONNS" -d"${SECS}s" --latency -s "$WORK/$script.lua" "http://127.0.0.1:$port/api" >"$WORK/$name.out" 2>&1
  local ticks=$(($(cpu_ticks "$@") - before))
  local rps p99 requests cpu errors
  rps=$(awk '/Requests\/sec/ {print $2}' "$WORK/$name.out")
  p99=$(awk '$1=="99%" {print $2}' "$WORK/$name.out")
  requests=$(awk '/requests in/ {print $1}' "$WORK/$name.out")
  cpu=$(awk -v t="$ticks" -v n="$requests" -v hz="$(getconf CLK_TCK)" \
    'BEGIN { if (n > 0) printf "%.1fus", t * 1e6 / hz / n; else print "n/a" }')
  errors=$(grep -E 'Non-2xx|Socket errors' "$WORK/$name.out" | tr '\n' ' ' || true)
  echo "$rps $p99 $cpu ${errors:-none}"
}
# The row of the round with the median rate.
median() { # FILE
  sort -g -k1,1 "$1" | awk '{ row[NR] = $0 } END { print row[int((NR + 1) / 2)] }'
}
for round in $(seq "$ROUNDS"); do
  # shellcheck disable=SC2086 # lists of pids
  {
    run agent "$AGENT_PORT" agent "$AGENT" >>"$WORK/agent.rows"
    run nginx "$NGINX_PORT" agent $NGINX_PIDS >>"$WORK/nginx.rows"
    run echo "$ECHO_PORT" echo "$ECHO" >>"$WORK/echo.rows"
    run agent-close "$AGENT_PORT" agent-close "$AGENT" >>"$WORK/agent-close.rows"
    run nginx-close "$NGINX_PORT" agent-close $NGINX_PIDS >>"$WORK/nginx-close.rows"
  }
  A=$(tail -1 "$WORK/agent.rows"); N=$(tail -1 "$WORK/nginx.rows")
  echo "round $round: agent ${A%% *} req/s, nginx ${N%% *} req/s, keep-alive ratio $(ratio "${A%% *}" "${N%% *}")"
done
read -r A_RPS A_P99 A_CPU A_ERR < <(median "$WORK/agent.rows")
read -r N_RPS N_P99 N_CPU N_ERR < <(median "$WORK/nginx.rows")
read -r E_RPS E_P99 E_CPU E_ERR < <(median "$WORK/echo.rows")
read -r AC_RPS AC_P99 AC_CPU AC_ERR < <(median "$WORK/agent-close.rows")
read -r NC_RPS NC_P99 NC_CPU NC_ERR < <(median "$WORK/nginx-close.rows")

kill -0 "$AGENT" 2>/dev/null && ALIVE=yes || ALIVE=no
REPLY_BYTES=$(wc -c <"$WORK/reply.json")
row() { printf '%-40s %12s %10s %12s  %s\n' "$@"; }
row "median of $ROUNDS ($CONNS connections, ${SECS}s)" "req/s" "p99" "CPU/request" "errors"
row "agent: list 10 services" "$A_RPS" "$A_P99" "$A_CPU" "$A_ERR"
row "nginx: the same $REPLY_BYTES bytes" "$N_RPS" "$N_P99" "$N_CPU" "$N_ERR"
row "transport alone: echo" "$E_RPS" "$E_P99" "$E_CPU" "$E_ERR"
row "agent, Connection: close" "$AC_RPS" "$AC_P99" "$AC_CPU" "$AC_ERR"
row "nginx, Connection: close" "$NC_RPS" "$NC_P99" "$NC_CPU" "$NC_ERR"
echo "ratio agent/nginx: keep-alive $(ratio "$A_RPS" "$N_RPS"), close $(ratio "$AC_RPS" "$NC_RPS")"
echo "ratio of CPU per request, nginx/agent: keep-alive $(ratio "${N_CPU%us}" "${A_CPU%us}"), close $(ratio "${NC_CPU%us}" "${AC_CPU%us}")"
echo "ratio agent/transport echo (keep-alive): $(ratio "$A_RPS" "$E_RPS")"
echo "agent still running after the load: $ALIVE"
[ "$ALIVE" = yes ]
