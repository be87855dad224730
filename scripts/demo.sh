#!/usr/bin/env bash
# The demo: installs what is missing, builds, lays out the sample data,
# serves it from nginx on the console's fixed endpoint and opens the console.
# nginx stops when the console closes.
#   scripts/demo.sh            fresh run: earlier downloads are removed first
#   scripts/demo.sh --keep     keep earlier downloads and .part files
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

keep=0
[ "${1:-}" = "--keep" ] && keep=1

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "demo.sh: no display (neither DISPLAY nor WAYLAND_DISPLAY is set)." >&2
  echo "demo.sh: run it in a desktop session, or under a virtual one: xvfb-run -a scripts/demo.sh" >&2
  exit 2
fi

bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target QuarnDemo

# The console's fixed endpoint and sample values (dialog/samplerequest.h).
host=127.0.0.1
port=48080
site=test_site
server_file=e3f20ec8060f3f1f5b98718b2df6f37b_2208143958
server_size=2208143958
demo=${QUARN_DEMO_DIR:-$top/demo}
drives=$demo/drives

# Sparse files of the exact sizes: the demo needs their length, not content.
make_sparse() {  # path size
  mkdir -p "$(dirname "$1")"
  if [ ! -f "$1" ] || [ "$(stat -c %s "$1")" != "$2" ]; then truncate -s "$2" "$1"; fi
}
make_sparse "$demo/server/$site/$server_file" "$server_size"
# The three files the share buttons register (mapped drive paths).
make_sparse "$drives/d/nginx-1.8.0/html/content/왕좌의 게임111.mp4" 1784365056
make_sparse "$drives/c/download/aaa.avi" 1857140083
make_sparse "$drives/c/download/bbb.avi" 1857140083
mkdir -p "$drives/d/download"
if [ "$keep" = 0 ]; then
  rm -f "$drives/d/download/aaaaa.avi" "$drives/d/download/aaaaa.avi.part" \
        "$drives/d/download/judge.mp4" "$drives/d/download/judge.mp4.part"
fi

if (exec 3<>"/dev/tcp/$host/$port") 2>/dev/null; then
  echo "demo.sh: $host:$port is already in use; stop whatever listens there first." >&2
  exit 1
fi

# About a minute for the whole sample file, so the progress can be watched.
rate=$(( server_size / 60 ))
mkdir -p "$demo/nginx/logs" "$demo/nginx/tmp"
user_line=""
[ "$(id -u)" -eq 0 ] && user_line="user root;"
cat > "$demo/nginx/nginx.conf" <<CONF
$user_line
worker_processes 1;
pid $demo/nginx/nginx.pid;
error_log $demo/nginx/logs/error.log warn;
events { worker_connections 64; }
http {
  access_log $demo/nginx/logs/access.log;
  client_body_temp_path $demo/nginx/tmp;
  proxy_temp_path $demo/nginx/tmp;
  fastcgi_temp_path $demo/nginx/tmp;
  uwsgi_temp_path $demo/nginx/tmp;
  scgi_temp_path $demo/nginx/tmp;
  sendfile on;
  server {
    listen $host:$port;
    root $demo/server;
    limit_rate $rate;
    location / { default_type application/octet-stream; }
  }
}
CONF

nginx=$(command -v nginx || echo /usr/sbin/nginx)
"$nginx" -p "$demo/nginx" -c "$demo/nginx/nginx.conf" -e stderr -g 'daemon off;' &
nginx_pid=$!
trap 'kill "$nginx_pid" 2>/dev/null; wait "$nginx_pid" 2>/dev/null || true' EXIT

for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/$host/$port") 2>/dev/null && break
  kill -0 "$nginx_pid" 2>/dev/null || { echo "demo.sh: nginx did not start" >&2; exit 1; }
  sleep 0.1
done

echo "demo.sh: serving $demo/server on $host:$port; downloads go to $drives/d/download"
QUARN_DRIVE_ROOT=$drives "$top/build/default/app/QuarnDemo"
