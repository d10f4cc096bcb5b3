#!/usr/bin/env bash
# Builds both Debian packages from BUILD_DIR, checks them with lintian,
# installs them on this machine, starts the packaged agent with the packaged
# peers, configures a trust group with the packaged zarnactl, restarts the
# agent, lists again, stops it, and runs the maintainer scripts twice
# (reinstall, remove, purge, reinstall, purge). Leaves no package installed.
#   package_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
BUILD="$1"
SRC="$2"

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND" >&2' ERR
# dpkg refuses at once while another package operation holds its lock: wait it out.
dpkg() {
  local i
  for i in $(seq 120); do
    fuser /var/lib/dpkg/lock-frontend /var/lib/dpkg/lock >/dev/null 2>&1 || break
    sleep 1
  done
  command dpkg "$@"
}
[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
for tool in dpkg cpack swtpm python3 openssl; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/bootstrap installs it)"
done
for pkg in zarna zarna-peers; do
  if dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed"; then
    skip "$pkg is already installed here; this test does not replace an operator's installation"
  fi
done

KEY=/etc/talvor/cpservices/zarna/api-token.key
WORK="$(mktemp -d /tmp/zarna-package.XXXXXX)"
PIDS=()
. "$SRC/scripts/lib/peers.sh"
cleanup() {
  local i
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do stop_pid "${PIDS[$i]}"; done
  dpkg --purge zarna zarna-peers >/dev/null 2>&1 || true
  rm -rf "$WORK"
}
trap cleanup EXIT

echo "== packages"
(cd "$BUILD" && cpack -G DEB -B "$WORK/packages" >"$WORK/cpack.log" 2>&1) || { cat "$WORK/cpack.log"; fail "cpack"; }
AGENT_DEB="$(ls "$WORK"/packages/zarna_*.deb)"
PEERS_DEB="$(ls "$WORK"/packages/zarna-peers_*.deb)"
if command -v lintian >/dev/null; then
  lintian --fail-on error "$AGENT_DEB" "$PEERS_DEB" 2>&1 | grep -v 'running with root' || true
  lintian --fail-on error "$AGENT_DEB" "$PEERS_DEB" >/dev/null 2>&1 || fail "lintian reports errors"
fi
dpkg-deb -c "$PEERS_DEB" | grep -q 'usr/sbin/zarna$' && fail "the peers package carries the agent"
dpkg-deb -c "$AGENT_DEB" | grep -Eq 'bin/(attestd|zarnd|hyperkern-emu)$' && fail "the agent package carries a peer"

echo "== install"
dpkg -i "$AGENT_DEB" "$PEERS_DEB" >"$WORK/dpkg.log" 2>&1 || { cat "$WORK/dpkg.log"; fail "dpkg -i"; }
for f in /usr/sbin/zarna /usr/bin/zarnactl /usr/lib/talvor/ruvo/zarn_ruvo_agent_metadata.json \
         /etc/talvor/cpservices/zarna/config.xml /lib/systemd/system/zarna.service \
         /usr/lib/tmpfiles.d/zarna.conf /usr/bin/attestd /usr/bin/zarnd /usr/bin/hyperkern-emu "$KEY.pub"; do
  [ -e "$f" ] || fail "$f is not installed"
done
[ "$(stat -c '%a %U %G' "$KEY")" = "600 root root" ] || fail "private token key is $(stat -c '%a %U %G' "$KEY")"
grep -qx /etc/talvor/cpservices/zarna/config.xml /var/lib/dpkg/info/zarna.conffiles ||
  fail "the configuration is not a conffile"
[ -d /run/zarna ] && [ -d /var/lib/zarna ] || fail "tmpfiles directories are missing"
KEY_SUM="$(sha256sum "$KEY" "$KEY.pub")"

echo "== maintainer scripts again: the key pair is kept"
dpkg -i "$AGENT_DEB" >"$WORK/dpkg.log" 2>&1 || { cat "$WORK/dpkg.log"; fail "reinstall"; }
[ "$(sha256sum "$KEY" "$KEY.pub")" = "$KEY_SUM" ] || fail "a reinstall replaced the token key pair"

if [ "$(ps -p 1 -o comm=)" = systemd ]; then
  echo "note: systemd is PID 1 but the agent is still started by hand below, with the packaged files,"
  echo "      so that the test does not depend on the host's own units"
else
  echo "note: systemd is not PID 1 on this machine ($(ps -p 1 -o comm=)); the packaged agent is started by"
  echo "      hand with the packaged files and a stand-in for the service manager's notify socket"
fi

echo "== peers from the peers package"
start_swtpm "$WORK/tpm"
PIDS+=("$SWTPM_PID")
start_attestd "$WORK/attestd" /usr/bin/attestd --grant disk
PIDS+=("$ATTESTD_PID")
start_zarnd "$WORK/zarnd" /usr/bin/zarnd "$ATTESTD_SIGNING_PUB" --provider disk
PIDS+=("$ZARND_PID")
/usr/bin/hyperkern-emu serve --socket "$WORK/hyperkern.sock" >"$WORK/emu.log" 2>&1 &
PIDS+=($!)
for _ in $(seq 50); do [ -S "$WORK/hyperkern.sock" ] && break; sleep 0.1; done

# The packaged configuration with what a test host must change: a free port,
# scratch store, the emulator's channel and key cache, a file firewall.
PORT="$(_peers_free_port)"
sed -e "s|<tcpPort>7890</tcpPort>|<tcpPort>$PORT</tcpPort>|" \
    -e "s|<path>/var/lib/zarna/configstore.db</path>|<path>$WORK/configstore.db</path>|" \
    -e "s|<tcti>device:/dev/tpmrm0</tcti>|<tcti>$SWTPM_TCTI</tcti>|" \
    -e "s|<channel>/run/zarna/hyperkern.sock</channel>|<channel>$WORK/hyperkern.sock</channel>|" \
    -e "s|<backend>keyring</backend>|<backend>emulator</backend>|" \
    -e "s|<backend>nftables</backend>|<backend>file:$WORK/firewall.json</backend>|" \
    /etc/talvor/cpservices/zarna/config.xml >"$WORK/config.xml"
# A key nothing reads: named in the log, not fatal.
sed -i 's|</config>|  <attestationDelay>5</attestationDelay>\n</config>|' "$WORK/config.xml"
grep -q "<tcpPort>$PORT</tcpPort>" "$WORK/config.xml" || fail "the packaged configuration has changed shape"
grep -q "file:$WORK/firewall.json" "$WORK/config.xml" || fail "the packaged configuration has changed shape"

CTL=(/usr/bin/zarnactl --tcp "127.0.0.1:$PORT")
# Stands in for the service manager: records what the agent notifies and, at
# READY=1, whether the API already answers.
cat >"$WORK/notify.py" <<'PY'
import socket, sys
sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
sock.bind(sys.argv[1])
port = int(sys.argv[3])
with open(sys.argv[2], "a", buffering=1) as out:
    while True:
        msg = sock.recv(4096).decode()
        for line in msg.split("\n"):
            if line == "READY=1":
                probe = socket.socket()
                ok = probe.connect_ex(("127.0.0.1", port)) == 0
                probe.close()
                out.write("READY=1 api=%s\n" % ("up" if ok else "down"))
            elif line:
                out.write(line + "\n")
PY

start_agent() { # RUN
  rm -f "$WORK/notify.sock"
  python3 "$WORK/notify.py" "$WORK/notify.sock" "$WORK/notify.$1" "$PORT" &
  NOTIFY_PID=$!
  for _ in $(seq 50); do [ -S "$WORK/notify.sock" ] && break; sleep 0.1; done
  (cd "$WORK" && NOTIFY_SOCKET="$WORK/notify.sock" WATCHDOG_USEC=1000000 ZARNA_CONFIG="$WORK/config.xml" \
     exec /usr/sbin/zarna 2>>"$WORK/zarna.stderr") &
  AGENT=$!
  PIDS+=("$AGENT" "$NOTIFY_PID")
  for _ in $(seq 150); do
    grep -q '^READY=1' "$WORK/notify.$1" 2>/dev/null && break
    kill -0 "$AGENT" 2>/dev/null || { tail -20 "$WORK/zarna.stderr"; fail "the agent exited"; }
    sleep 0.1
  done
  grep -qx 'READY=1 api=up' "$WORK/notify.$1" || { cat "$WORK/notify.$1"; fail "no READY=1 with the API up"; }
}
stop_agent() { # RUN
  kill -TERM "$AGENT"
  local code=0
  wait "$AGENT" || code=$?
  [ "$code" -eq 0 ] || fail "the agent exited with $code after SIGTERM"
  sleep 0.2
  grep -q '^STOPPING=1' "$WORK/notify.$1" || fail "no STOPPING=1"
  grep -q '^WATCHDOG=1' "$WORK/notify.$1" || fail "no keep-alive within the run"
  stop_pid "$NOTIFY_PID"
}

echo "== start, configure a group"
start_agent 1
grep -q 'Unknown configuration setting attestationDelay (ignored)' "$WORK/zarna.stderr" ||
  fail "the unknown key was not named"
sleep 1.2 # at least two keep-alive periods of 0.5 s
"${CTL[@]}" attestation-services create --host 127.0.0.1 --port "$ATTESTD_PORT" --group pkg \
  --ca-file "$ATTESTD_CA" >/dev/null
"${CTL[@]}" key-provider-services create --host 127.0.0.1 --port "$ZARND_PORT" --group pkg \
  --ca-file "$ZARND_CA" >/dev/null
stop_agent 1

echo "== restart, list again"
start_agent 2
sleep 1.2
"${CTL[@]}" attestation-services list | tee "$WORK/list.txt"
grep -q pkg "$WORK/list.txt" || fail "the group did not survive the restart"
"${CTL[@]}" key-provider-services list | grep -q pkg || fail "the key provider service did not survive"
# The start-up token fill attests group pkg against the packaged peers.
for _ in $(seq 100); do
  "${CTL[@]}" status >"$WORK/status.txt" 2>&1 || true
  grep -q 'last attestation succeeded' "$WORK/status.txt" && break
  sleep 0.2
done
cat "$WORK/status.txt"
grep -q 'last attestation succeeded' "$WORK/status.txt" || fail "status shows no successful attestation"
grep -q 'kernel channel    registered' "$WORK/status.txt" || fail "status shows no kernel channel"
"${CTL[@]}" --json status >"$WORK/status.json"
python3 - "$WORK/status.json" "$ATTESTD_PORT" <<'PY' || fail "status --json"
import json, sys
s = json.load(open(sys.argv[1]))
g = [x for x in s["groups"] if x["group"] == "pkg"][0]
assert g["token_held"] and g["token_expires"] > g["token_refresh"], g
assert g["attestation_service"]["address"]["port"] == int(sys.argv[2]), g
assert s["firewall"]["backend"].startswith("file:"), s["firewall"]
assert "127.0.0.1" in s["firewall"]["allowed_addresses"], s["firewall"]
PY
# The token itself is never shown: its signature part must not appear.
TOKEN_TAIL="$(grep -ho 'eyJ[A-Za-z0-9_-]*\.[A-Za-z0-9_-]*\.[A-Za-z0-9_-]*' "$WORK/zarna.stderr" | head -1 | cut -d. -f3 || true)"
if [ -n "$TOKEN_TAIL" ] && grep -q -- "$TOKEN_TAIL" "$WORK/status.json" "$WORK/status.txt"; then
  fail "status shows the token"
fi
echo "== bad input: each ends in one clear line and exit code 1"
# ZARNA_CONFIG_FILE SUBDIR EXPECTED_TEXT: runs the packaged agent in its own directory.
expect_exit_one() {
  mkdir -p "$WORK/$2"
  local code=0
  (cd "$WORK/$2" && ZARNA_CONFIG="$1" exec timeout 30 /usr/sbin/zarna 2>"$WORK/$2/stderr") || code=$?
  [ "$code" -eq 1 ] || { cat "$WORK/$2/stderr"; fail "$2: exit code $code, not 1"; }
  grep -q -- "$3" "$WORK/$2/stderr" || { cat "$WORK/$2/stderr"; fail "$2: no line '$3'"; }
}
# A second agent on the same store while the first runs (a unit started twice by hand);
# the others run on their own after it stopped.
expect_exit_one "$WORK/config.xml" twice "Another zarna agent is running with the store"
stop_agent 2
sed "s|<tokenKey>[^<]*</tokenKey>|<tokenKey>$WORK/missing.key.pub</tokenKey>|" "$WORK/config.xml" >"$WORK/nokey.xml"
expect_exit_one "$WORK/nokey.xml" nokey "Cannot load the API token key"
touch "$WORK/plainfile"
sed "s|<path>$WORK/configstore.db</path>|<path>$WORK/plainfile/configstore.db</path>|" "$WORK/config.xml" >"$WORK/nodir.xml"
expect_exit_one "$WORK/nodir.xml" nodir "Not a directory"
head -c 8192 /dev/urandom >"$WORK/broken.db"
sed "s|<path>$WORK/configstore.db</path>|<path>$WORK/broken.db</path>|" "$WORK/config.xml" >"$WORK/broken.xml"
expect_exit_one "$WORK/broken.xml" broken "Exiting with error: .*broken.db"

echo "== remove twice, purge twice, reinstall, purge"
dpkg -r zarna >/dev/null
[ -e "$KEY" ] || fail "remove took the token key (only purge may)"
[ -e /etc/talvor/cpservices/zarna/config.xml ] || fail "remove took the configuration"
dpkg -r zarna >/dev/null 2>&1 || true
dpkg --purge zarna >/dev/null
[ ! -e "$KEY" ] && [ ! -e "$KEY.pub" ] || fail "purge left the token key pair"
[ ! -e /etc/talvor/cpservices/zarna/config.xml ] || fail "purge left the configuration"
dpkg --purge zarna >/dev/null 2>&1 || true
dpkg -i "$AGENT_DEB" >"$WORK/dpkg.log" 2>&1 || { cat "$WORK/dpkg.log"; fail "install after purge"; }
[ "$(stat -c '%a' "$KEY")" = 600 ] || fail "no new private key after reinstall"
[ "$(sha256sum "$KEY" "$KEY.pub")" != "$KEY_SUM" ] || fail "the purged key pair came back"
dpkg --purge zarna zarna-peers >/dev/null
echo "package test passed"
