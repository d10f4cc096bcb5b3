# Shell functions the bench/*/run.sh scripts share (sourced, not run).

# Exits when one of the tools is missing.
bench_require() { # TOOL...
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "missing $tool (scripts/bootstrap installs it)"; exit 1; }
  done
}

# Configures BUILD_DIR with the release preset when it is not configured yet,
# then builds the targets.
bench_build() { # BUILD_DIR TARGET...
  local build="$1"
  shift
  if [ ! -f "$build/build.ninja" ]; then
    cmake --preset release -B "$build" >/dev/null
  fi
  cmake --build "$build" --target "$@" -j2 >/dev/null
}

# A loopback TCP port free at the moment of asking.
bench_free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}
