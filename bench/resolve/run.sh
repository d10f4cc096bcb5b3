#!/usr/bin/env bash
# Kernel key resolution end to end against openssl s_time handshakes to the same
# zarnd, with 1, 4 and 16 requests in flight. Bounded: each load runs for a fixed
# number of seconds against processes started here, all stopped at the end.
#
#   bench/resolve/run.sh [BUILD_DIR] [SECONDS]
#
# BUILD_DIR defaults to build/release (configured with the release preset when missing).
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
. "$ROOT/bench/run_common.sh"
BUILD="${1:-$ROOT/build/release}"
SECS="${2:-10}"

bench_require openssl swtpm swtpm_setup
bench_build "$BUILD" bench_resolve
# The programs start in their own directories: the build directory must be absolute.
BUILD="$(cd "$BUILD" && pwd)"

ZARNA_SOURCE_DIR="$ROOT" ZARNA_BINARY_DIR="$BUILD" "$BUILD/bench/resolve/bench_resolve" "$SECS"
