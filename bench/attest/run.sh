#!/usr/bin/env bash
# Attestation handshake time (cold and pooled TPM state) against the same TPM
# commands timed directly through tpm2-tss, in the same run, on a software TPM.
#
#   bench/attest/run.sh [BUILD_DIR] [ROUNDS]
#
# BUILD_DIR defaults to build/release (configured with the release preset when missing).
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
BUILD="$(realpath -m "${1:-$ROOT/build/release}")"
ROUNDS="${2:-30}"

for tool in swtpm swtpm_setup swtpm_localca; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/bootstrap installs it)"; exit 1; }
done
if [ ! -f "$BUILD/build.ninja" ]; then
  cmake --preset release -B "$BUILD" >/dev/null
fi
cmake --build "$BUILD" --target bench_attest attestd -j2 >/dev/null

ZARNA_BINARY_DIR="$BUILD" "$BUILD/bench/attest/bench_attest" "$ROUNDS"
