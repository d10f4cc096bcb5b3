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
BUILD="$(realpath -m "${1:-$ROOT/build/release}")"
SECS="${2:-10}"

for tool in openssl swtpm swtpm_setup; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/bootstrap installs it)"; exit 1; }
done
if [ ! -f "$BUILD/build.ninja" ]; then
  cmake --preset release -B "$BUILD" >/dev/null
fi
cmake --build "$BUILD" --target bench_kms -j2 >/dev/null

ZARNA_SOURCE_DIR="$ROOT" ZARNA_BINARY_DIR="$BUILD" "$BUILD/bench/kms/bench_kms" "$SECS"
