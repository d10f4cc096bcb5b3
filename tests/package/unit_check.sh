#!/usr/bin/env bash
# The unit file: systemd-analyze verify passes and the hardening exposure stays
# below 3.0 ("OK").
#   unit_check.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
BUILD="$(cd "$1" && pwd)"
SRC="$2"
if ! command -v systemd-analyze >/dev/null; then
  echo "SKIP: systemd-analyze is not installed (Debian package systemd)"
  exit 77
fi
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
# verify checks that the program exists: point it at the one just built.
sed "s|^ExecStart=/usr/sbin/zarna|ExecStart=$BUILD/apps/zarna/zarna|" "$SRC/packaging/zarna.service" \
  >"$WORK/zarna.service"
grep -q "^ExecStart=$BUILD/apps/zarna/zarna\$" "$WORK/zarna.service"
systemd-analyze verify "$WORK/zarna.service"

systemd-analyze security --offline=yes "$WORK/zarna.service" >"$WORK/security.txt" 2>&1 || true
LINE="$(grep 'Overall exposure level' "$WORK/security.txt" || true)"
echo "$LINE"
SCORE="$(printf '%s\n' "$LINE" | sed -n 's/.*: \([0-9.]*\) .*/\1/p')"
[ -n "$SCORE" ] || { cat "$WORK/security.txt"; echo "FAIL: no exposure score"; exit 1; }
awk -v s="$SCORE" 'BEGIN { exit !(s < 3.0) }' || { echo "FAIL: exposure $SCORE is not below 3.0"; exit 1; }

# Settings the agent depends on that a tidy-up could drop unnoticed.
for want in Type=notify WatchdogSec= RuntimeDirectoryPreserve=yes WorkingDirectory=/run/zarna \
            NotifyAccess=main; do
  grep -q "^$want" "$SRC/packaging/zarna.service" || { echo "FAIL: the unit lacks $want"; exit 1; }
done
echo "unit checks passed"
