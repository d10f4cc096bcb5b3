#!/usr/bin/env bash
# Attestation handshake time (cold and pooled TPM state) against the same TPM
# commands timed directly through tpm2-tss, in the same run, on a software TPM.
#
#   bench/attest/run.sh [BUILD_DIR] [ROUNDS]
#
# BUILD_DIR defaults to build/release (configured with the release preset when missing).
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
. "$ROOT/bench/run_common.sh"
BUILD="$(realpath -m "${1:-$ROOT/build/release}")"
ROUNDS="${2:-30}"

bench_require swtpm swtpm_setup swtpm_localca
bench_build "$BUILD" bench_attest attestd

ZARNA_BINARY_DIR="$BUILD" "$BUILD/bench/attest/bench_attest" "$ROUNDS"
