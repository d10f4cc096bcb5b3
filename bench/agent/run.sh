#!/usr/bin/env bash
# Load on the running agent's management API: wrk on loopback against the agent's
# services listing (through the whole provider chain, token check included, and the
# trust state), side by
# side in the same run with the bare transport echo server of bench/http (the
# ceiling of the transport alone). Bounded in time; stops everything it starts.
#
#   bench/agent/run.sh [BUILD_DIR] [SECONDS]
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
. "$ROOT/bench/run_common.sh"
BUILD="$(realpath -m "${1:-$ROOT/build/release}")"
SECS="${2:-10}"
CONNS=16

bench_require wrk
bench_build "$BUILD" zarna hyperkern-emu zarnactl http_echo_server

WORK="$(mktemp -d)"
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
AGENT_PORT=$(bench_free_port); ECHO_PORT=$(bench_free_port)
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
PIDS+=($!)
for _ in $(seq 50); do grep -q ready "$WORK/echo.log" 2>/dev/null && break; sleep 0.1; done

post_script() {
  cat >"$WORK/$1.lua" <<LUA
wrk.method = "POST"
wrk.headers["Content-Type"] = "application/json"
wrk.body = '$2'
LUA
}
post_script agent '{"version":"1.1","id":"1","method":"com.talvor.brim.trusted_infrastructure.attestation.services.list","params":{"context":{"security":{"schemeId":"com.talvor.ruvo.std.security.oauth","accessToken":"'"$TOKEN"'"}},"input":{}}}'
post_script echo '{"version":"1.1","id":"bench-1","method":"bench.http.echo.echo","params":{"context":{"app":{}},"input":{"text":"ping"}}}'

run() { # name port script -> "rps p99 errors"
  wrk -t2 -c"$CONNS" -d"${SECS}s" --latency -s "$WORK/$3.lua" "http://127.0.0.1:$2/api" >"$WORK/$1.out" 2>&1
  local rps p99 errors
  rps=$(awk '/Requests\/sec/ {print $2}' "$WORK/$1.out")
  p99=$(awk '$1=="99%" {print $2}' "$WORK/$1.out")
  errors=$(grep -E 'Non-2xx|Socket errors' "$WORK/$1.out" | tr '\n' ' ' || true)
  echo "$rps $p99 ${errors:-none}"
}
read -r A_RPS A_P99 A_ERR < <(run agent "$AGENT_PORT" agent)
read -r E_RPS E_P99 E_ERR < <(run echo "$ECHO_PORT" echo)

kill -0 "$AGENT" 2>/dev/null && ALIVE=yes || ALIVE=no
printf '%-34s %12s %10s  %s\n' "run ($CONNS connections, ${SECS}s)" "req/s" "p99" "errors"
printf '%-34s %12s %10s  %s\n' "agent: list 10 services" "$A_RPS" "$A_P99" "$A_ERR"
printf '%-34s %12s %10s  %s\n' "transport alone: echo" "$E_RPS" "$E_P99" "$E_ERR"
python3 -c "print('ratio agent/transport: %.2f' % (float('$A_RPS')/float('$E_RPS')))"
echo "agent still running after the load: $ALIVE"
[ "$ALIVE" = yes ]
