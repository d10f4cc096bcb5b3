# Shell functions that start the attestation peers for a demo or a manual run:
# a software TPM manufactured with an EK certificate by its own local CA, and
# attestd serving HTTPS with a fresh certificate and signing key.
#
#   . scripts/lib/peers.sh
#   start_swtpm DIR            sets SWTPM_PID, SWTPM_PORT, SWTPM_TCTI, SWTPM_EK_CA
#   start_attestd DIR BIN [ARGS...]
#                              sets ATTESTD_PID, ATTESTD_PORT, ATTESTD_CA (PEM to trust),
#                              ATTESTD_SIGNING_PUB; BIN is the attestd program; ARGS are
#                              added (e.g. --grant NAME --token-lifetime SECS)
#   start_zarnd DIR BIN TRUST_PUB [ARGS...]
#                              sets ZARND_PID, ZARND_PORT, ZARND_CA (PEM to trust); BIN is the
#                              zarnd program, TRUST_PUB the attestd signing public key (e.g.
#                              ATTESTD_SIGNING_PUB); ARGS are added (--provider NAME[:STATUS]...,
#                              --fault SPEC); the master keys live in DIR/keys.db
#   stop_pid PID               SIGTERM, then wait for it
#
# Everything lives under DIR; nothing outside it (and no machine-wide swtpm CA
# state) is touched. Needs swtpm, swtpm_setup, swtpm_localca, openssl, python3.

_peers_free_port() {
  python3 -c 'import socket
for _ in range(50):
    s = socket.socket(); s.bind(("127.0.0.1", 0)); p = s.getsockname()[1]; s.close()
    t = socket.socket()
    try:
        t.bind(("127.0.0.1", p + 1)); t.close(); print(p); break
    except OSError:
        t.close()'
}

_peers_wait_port() { # PORT PID
  for _ in $(seq 100); do
    kill -0 "$2" 2>/dev/null || return 1
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# Waits (up to 10 s) until a socket listens on loopback PORT, read from the kernel's
# table so that nothing connects to it; fails when PID ends first.
_peers_wait_listen() { # PORT PID
  local hex
  hex="$(printf '0100007F:%04X' "$1")"
  for _ in $(seq 100); do
    kill -0 "$2" 2>/dev/null || return 1
    awk -v a="$hex" '$2 == a && $4 == "0A" { found = 1 } END { exit !found }' /proc/net/tcp && return 0
    sleep 0.1
  done
  return 1
}

# Waits (up to 10 s) for a line matching PATTERN in FILE; fails when PID ends first.
_peers_wait_line() { # FILE PATTERN PID
  for _ in $(seq 100); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    kill -0 "$3" 2>/dev/null || return 1
    sleep 0.1
  done
}

# A fresh CA named CA_NAME (DIR/ca.pem) and a localhost server certificate it
# signed (DIR/server.pem, DIR/server.key).
_peers_make_cert() { # DIR CA_NAME
  local dir="$1"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 \
    -subj "/CN=$2" -keyout "$dir/ca.key" -out "$dir/ca.pem" 2>/dev/null
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=localhost" \
    -keyout "$dir/server.key" -out "$dir/server.csr" 2>/dev/null
  printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' > "$dir/server.ext"
  openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" -CAcreateserial \
    -days 30 -extfile "$dir/server.ext" -out "$dir/server.pem" 2>/dev/null
  chmod 600 "$dir/server.key" "$dir/ca.key"
}

# Manufactures the TPM state (once per DIR) and starts swtpm on free loopback ports.
start_swtpm() {
  local dir="$1"
  mkdir -p "$dir/ca" "$dir/state"
  if [ ! -f "$dir/state/tpm2-00.permall" ]; then
    cat > "$dir/localca.conf" <<CONF
statedir = $dir/ca
signingkey = $dir/ca/signkey.pem
issuercert = $dir/ca/issuercert.pem
certserial = $dir/ca/certserial
CONF
    printf -- '--platform-manufacturer zarna\n--platform-version 2.1\n--platform-model swtpm\n' \
      > "$dir/localca.options"
    cat > "$dir/setup.conf" <<CONF
create_certs_tool = /usr/bin/swtpm_localca
create_certs_tool_config = $dir/localca.conf
create_certs_tool_options = $dir/localca.options
active_pcr_banks = sha256
CONF
    swtpm_setup --tpm2 --tpmstate "$dir/state" --create-ek-cert --config "$dir/setup.conf" \
      --logfile "$dir/setup.log" >/dev/null 2>&1 || { echo "swtpm_setup failed: see $dir/setup.log" >&2; return 1; }
    cat "$dir/ca/swtpm-localca-rootca-cert.pem" "$dir/ca/issuercert.pem" > "$dir/ek-ca.pem"
  fi
  SWTPM_PORT="${SWTPM_PORT:-$(_peers_free_port)}"
  swtpm socket --tpm2 --server "type=tcp,port=$SWTPM_PORT,bindaddr=127.0.0.1" \
    --ctrl "type=tcp,port=$((SWTPM_PORT + 1)),bindaddr=127.0.0.1" \
    --flags not-need-init,startup-clear --tpmstate "dir=$dir/state" >"$dir/swtpm.log" 2>&1 &
  SWTPM_PID=$!
  # The control port answers first and the command port listens a moment later;
  # connecting to the command port would take the TPM's one client slot.
  { _peers_wait_port "$((SWTPM_PORT + 1))" "$SWTPM_PID" && _peers_wait_listen "$SWTPM_PORT" "$SWTPM_PID"; } ||
    { echo "swtpm did not start: see $dir/swtpm.log" >&2; return 1; }
  SWTPM_TCTI="swtpm:host=127.0.0.1,port=$SWTPM_PORT"
  SWTPM_EK_CA="$dir/ek-ca.pem"
}

# Starts attestd trusting the EK CA of start_swtpm (SWTPM_EK_CA must be set).
start_attestd() {
  local dir="$1" bin="$2"
  shift 2
  mkdir -p "$dir"
  _peers_make_cert "$dir" "attestd demo CA"
  "$bin" keygen --out "$dir/signing.pem" >/dev/null
  ATTESTD_PORT="${ATTESTD_PORT:-$(_peers_free_port)}"
  "$bin" --listen "127.0.0.1:$ATTESTD_PORT" --cert "$dir/server.pem" --key "$dir/server.key" \
    --ek-ca "$SWTPM_EK_CA" --signing-key "$dir/signing.pem" "$@" >"$dir/attestd.out" 2>"$dir/attestd.log" &
  ATTESTD_PID=$!
  _peers_wait_line "$dir/attestd.out" '^ready' "$ATTESTD_PID" || {
    echo "attestd did not start: see $dir/attestd.log" >&2; return 1; }
  ATTESTD_CA="$dir/ca.pem"
  ATTESTD_SIGNING_PUB="$dir/signing.pem.pub"
}

# Starts zarnd with a fresh certificate, trusting tokens signed by TRUST_PUB.
start_zarnd() {
  local dir="$1" bin="$2" trust="$3"
  shift 3
  mkdir -p "$dir"
  _peers_make_cert "$dir" "zarnd demo CA"
  ZARND_PORT="${ZARND_PORT:-$(_peers_free_port)}"
  "$bin" --listen "127.0.0.1:$ZARND_PORT" --cert "$dir/server.pem" --key "$dir/server.key" \
    --trust-token-key "$trust" --db "$dir/keys.db" "$@" >"$dir/zarnd.out" 2>"$dir/zarnd.log" &
  ZARND_PID=$!
  _peers_wait_line "$dir/zarnd.out" '^zarnd listening on' "$ZARND_PID" || {
    echo "zarnd did not start: see $dir/zarnd.log" >&2; return 1; }
  ZARND_CA="$dir/ca.pem"
}

stop_pid() {
  [ -n "${1:-}" ] || return 0
  kill -TERM "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
