#!/usr/bin/env bash
# The demo: installs what is missing, builds, lays out the sample data,
# serves it from nginx on the console's fixed endpoint and opens the console.
# nginx stops when the console closes.
#   scripts/demo.sh            fresh run: earlier downloads are removed first
#   scripts/demo.sh --keep     keep earlier downloads and .part files
# One demo at a time per demo folder: it takes a lock on the folder and checks
# the console's port before it touches any file, so a second run never
# deletes what a running console is writing.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

keep=0
case "${1:-}" in
  "") ;;
  --keep) keep=1 ;;
  *) echo "usage: scripts/demo.sh [--keep]" >&2; exit 2 ;;
esac

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "demo.sh: no display (neither DISPLAY nor WAYLAND_DISPLAY is set)." >&2
  echo "demo.sh: run it in a desktop session, or under a virtual one: xvfb-run -a scripts/demo.sh" >&2
  exit 2
fi

# The console's fixed endpoint and sample values, read from where the
# console has them.
sample_header=$top/dialog/samplerequest.h
sample() {  # kName: its value, quotes gone and C escapes (\\) undone
  local value
  # A long value is wrapped onto the line after its '='.
  value=$(sed -e ':a' -e '/=$/{N;s/=\n[[:space:]]*/= /;ba' -e '}' "$sample_header" |
    sed -n "s/^inline constexpr [^=]* $1 = \(.*\);\$/\1/p")
  value=${value#\"}
  value=${value%\"}
  if [ -z "$value" ]; then
    echo "demo.sh: $1 is missing from $sample_header" >&2
    exit 1
  fi
  printf '%s' "${value//\\\\/\\}"
}
# Where the engine puts a console path: X:\dir\file -> $drives/x/dir/file.
drive_path() {
  local path=$1 letter
  letter=$(printf '%s' "${path:0:1}" | tr '[:upper:]' '[:lower:]')
  path=${path:3}
  printf '%s/%s/%s' "$drives" "$letter" "${path//\\//}"
}
server=$(sample kServer)
host=${server%:*}
port=${server##*:}
site=$(sample kSite)
server_file=$(sample kServerFileName)
server_size=$(sample kFileSize)
share_site=$(sample kShareSite)
share1_file=$(sample kShare1LocalFileName)
share1_size=$(sample kShare1Size)
share1_hash=$(sample kShare1Hash)
share2_file=$(sample kShare2Path)
share2_hash=$(sample kShare2Hash)
share3_file=$(sample kShare3Path)
share3_hash=$(sample kShare3Hash)
share23_size=$(sample kShare23Size)
param_file=$(sample kParamLocalFileName)
json_file=$(sample kJsonLocalFileName)
demo=${QUARN_DEMO_DIR:-$top/demo}
drives=$demo/drives

# Whoever listens on a TCP port, as ss can tell ("nginx (pid 123)"); empty
# when ss is missing or may not see the owner.
port_holder() {
  command -v ss >/dev/null || return 0
  { ss -ltnpH "sport = :$1" 2>/dev/null | grep -o '"[^"]*",pid=[0-9]*' |
      sed 's/^"\(.*\)",pid=\([0-9]*\)$/\1 (pid \2)/' | sort -u | paste -sd, - | sed 's/,/, /g'; } || true
}

port_in_use() {
  if command -v ss >/dev/null; then
    [ -n "$(ss -ltnH "sport = :$1" 2>/dev/null)" ]
  else
    (exec 3<>"/dev/tcp/$host/$1") 2>/dev/null
  fi
}

require_free_port() {
  port_in_use "$port" || return 0
  local holder
  holder=$(port_holder "$port")
  echo "demo.sh: $host:$port, the console's fixed endpoint, is already in use${holder:+ by $holder}." >&2
  echo "demo.sh: stop it first (the end-to-end tests use this port too); nothing was changed." >&2
  exit 1
}

# The lock lives as long as the demo's processes: nginx and the console
# inherit it, so a console left running still holds it.
mkdir -p "$demo"
exec 9<>"$demo/.demo.lock"
if ! flock -n 9; then
  owner=$(cat "$demo/.demo.lock" 2>/dev/null || true)
  echo "demo.sh: another demo is running from $demo${owner:+ (started by pid $owner)}; close its console first." >&2
  echo "demo.sh: nothing was changed." >&2
  exit 1
fi
echo "$$" > "$demo/.demo.lock"
require_free_port

bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target QuarnDemo quarn_cli

# The build may have taken a while: look again before changing anything.
require_free_port

# Sparse files of the exact sizes: the demo needs their length, not content.
make_sparse() {  # path size
  mkdir -p "$(dirname "$1")"
  if [ ! -f "$1" ] || [ "$(stat -c %s "$1")" != "$2" ]; then truncate -s "$2" "$1"; fi
}
make_sparse "$demo/server/$site/$server_file" "$server_size"
# The sample's Metalink document beside it, where the engine looks for one
# ({serverfilename}.meta4): written once, again only when the sample changed.
sample_file=$demo/server/$site/$server_file
meta_stamp=$demo/.meta4.stamp
sample_id=$(stat -c '%s %Y %i' "$sample_file")
if [ ! -s "$sample_file.meta4" ] || [ "$(cat "$meta_stamp" 2>/dev/null)" != "$sample_id" ]; then
  echo "demo.sh: writing the sample's Metalink document (hashing it once)"
  "$top/build/default/cli/quarn" meta "$sample_file" >"$sample_file.meta4.tmp" ||
    { rm -f "$sample_file.meta4.tmp"; echo "demo.sh: quarn meta failed" >&2; exit 1; }
  mv "$sample_file.meta4.tmp" "$sample_file.meta4"
  printf '%s\n' "$sample_id" >"$meta_stamp"
fi
# The three files the share buttons register (mapped drive paths).
make_sparse "$(drive_path "$share1_file")" "$share1_size"
make_sparse "$(drive_path "$share2_file")" "$share23_size"
make_sparse "$(drive_path "$share3_file")" "$share23_size"
param_download=$(drive_path "$param_file")
json_download=$(drive_path "$json_file")
mkdir -p "$(dirname "$param_download")" "$(dirname "$json_download")"
if [ "$keep" = 0 ]; then
  rm -f "$param_download" "$param_download.part" "$param_download.part.map" \
        "$json_download" "$json_download.part" "$json_download.part.map"
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
  types { application/metalink4+xml meta4; }
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

nginx_pid=""
console_pid=""
cleanup() {
  local pid
  for pid in $console_pid $nginx_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

nginx=$(command -v nginx || echo /usr/sbin/nginx)
"$nginx" -p "$demo/nginx" -c "$demo/nginx/nginx.conf" -e stderr -g 'daemon off;' &
nginx_pid=$!

# Ready when our nginx listens (not merely anything on the port).
serving() {
  if command -v ss >/dev/null; then
    ss -ltnpH "sport = :$port" 2>/dev/null | grep -q "pid=$nginx_pid,"
  else
    (exec 3<>"/dev/tcp/$host/$port") 2>/dev/null
  fi
}
for _ in $(seq 100); do
  serving && break
  if ! kill -0 "$nginx_pid" 2>/dev/null; then
    echo "demo.sh: nginx did not start (its error is above). \"Address already in use\" with nothing" >&2
    echo "demo.sh: listening: a socket holds $port, often a connection using it as its local port" >&2
    echo "demo.sh: (that lapses within a minute); ss -tanp 'sport = :$port' shows it." >&2
    exit 1
  fi
  sleep 0.1
done
serving || { echo "demo.sh: nginx does not answer on $host:$port" >&2; exit 1; }

echo "demo.sh: serving $demo/server on $host:$port; downloads go to $(dirname "$param_download")"
# Outside a desktop session (xvfb-run, ssh) Qt warns without a runtime directory.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  export XDG_RUNTIME_DIR=$demo/xdg-runtime
  mkdir -p "$XDG_RUNTIME_DIR"
  chmod 0700 "$XDG_RUNTIME_DIR"
fi
# The engine leaves sharing off when its port is taken: say so below.
share_holder=""
share_port=${QUARN_SHARE_LISTEN:-127.0.0.1:48081}
share_port=${share_port##*:}
if [ "$share_port" -eq "$share_port" ] 2>/dev/null && port_in_use "$share_port"; then
  share_holder=$(port_holder "$share_port")
  share_holder=${share_holder:-another program}
fi
QUARN_DRIVE_ROOT=$drives "$top/build/default/app/QuarnDemo" &
console_pid=$!

# Percent-encodes one URL path segment, byte by byte.
segment() {
  local LC_ALL=C text=$1 out="" c i
  for (( i = 0; i < ${#text}; i++ )); do
    c=${text:i:1}
    case $c in
      [A-Za-z0-9._~-]) out+=$c ;;
      *) out+=$(printf '%%%02X' "'$c") ;;
    esac
  done
  printf '%s' "$out"
}

# Once the window is up (where xwininfo can tell), how to fetch what the
# share buttons register from the console's engine.
if [ -n "${DISPLAY:-}" ] && command -v xwininfo >/dev/null; then
  for _ in $(seq 150); do
    xwininfo -name 'QUARN DEMO' 2>/dev/null | grep -q IsViewable && break
    kill -0 "$console_pid" 2>/dev/null || break
    sleep 0.1
  done
fi
share_listen=${QUARN_SHARE_LISTEN:-127.0.0.1:48081}
if [ "$share_listen" = off ] || [ "$share_listen" = OFF ] || [ "$share_listen" = Off ]; then
  echo "demo.sh: sharing is off (QUARN_SHARE_LISTEN=$share_listen): the share buttons only register."
else
  share_port=${share_listen##*:}
  share_host=${share_listen%:*}
  case $share_host in 0.0.0.0|"") share_host=127.0.0.1 ;; "[::]") share_host="[::1]" ;; esac
  base="http://$share_host:$share_port/$(segment "$share_site")"
  echo "demo.sh: once pressed, each share button's file is served by the console's engine:"
  echo "  _setShareFile   $base/$(segment "$share1_hash")"
  echo "  _setShareFile2  $base/$(segment "$share2_hash")"
  echo "  _setShareFile3  $base/$(segment "$share3_hash")"
  echo "demo.sh: for example, after pressing _setShareFile2:"
  echo "  curl -sS -o /dev/null -w '%{http_code} %{size_download} bytes\\n' $base/$(segment "$share2_hash")"
  if [ -n "$share_holder" ]; then
    echo "demo.sh: but port $share_port was taken${share_holder:+ by $share_holder} when the console started: its sharing stays off." >&2
  fi
fi

status=0
wait "$console_pid" || status=$?
console_pid=""
exit "$status"
