#!/usr/bin/env bash
# Key operations through the agent's Unix socket (1, 4 and 16 callers) against
# `openssl s_time -new` handshakes to the same zarnd, in the same run. Bounded:
# each load runs a fixed number of seconds; every process started is stopped.
#
#   bench/kms/run.sh [BUILD_DIR] [SECONDS]
#
# BUILD_DIR defaults to build/release (configured with the release preset when missing).
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
. "$ROOT/bench/run_common.sh"
BUILD="$(realpath -m "${1:-$ROOT/build/release}")"
SECS="${2:-10}"

bench_require openssl swtpm swtpm_setup
bench_build "$BUILD" bench_kms

ZARNA_SOURCE_DIR="$ROOT" ZARNA_BINARY_DIR="$BUILD" "$BUILD/bench/kms/bench_kms" "$SECS"
