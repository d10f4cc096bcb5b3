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

# Starts nginx on 127.0.0.1:PORT answering every request to /api with the bytes of
# REPLY_FILE (status 200, JSON), keep-alive unbounded; its pid is added to PIDS.
bench_nginx() { # WORK PORT REPLY_FILE
  local work="$1" port="$2" reply="$3"
  mkdir -p "$work/nginx"
  cat >"$work/nginx.conf" <<CONF
worker_processes 2;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
daemon off;
events { worker_connections 4096; }
http {
  access_log off;
  keepalive_requests 10000000;
  client_body_temp_path $work/nginx;
  proxy_temp_path $work/nginx;
  fastcgi_temp_path $work/nginx;
  uwsgi_temp_path $work/nginx;
  scgi_temp_path $work/nginx;
  server {
    listen 127.0.0.1:$port;
    location /api { default_type application/json; return 200 '$(cat "$reply")'; }
  }
}
CONF
  nginx -c "$work/nginx.conf" -p "$work/nginx" &
  PIDS+=("$!")
  local _
  for _ in $(seq 50); do
    curl -s -o /dev/null "http://127.0.0.1:$port/api" && return 0
    sleep 0.1
  done
  echo "nginx did not come up:"; cat "$work/nginx/error.log"; exit 1
}

# A / B with two decimals; n/a when B is not positive.
ratio() { # A B
  awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'
}
