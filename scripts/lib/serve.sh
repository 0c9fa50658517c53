# Starting and stopping a private nginx on 127.0.0.1 that serves a folder: sourced by the scripts
# that need an update server. Nothing outside the given state folder is written; the server
# runs as the calling user.
#
#   serve_start STATE ROOT PORT [TLS_PORT CERT KEY]   starts it, or fails with a message
#   serve_stop STATE                                  stops it (no-op when not running)

serve_nginx() {
  local path
  for path in /usr/sbin/nginx /usr/local/sbin/nginx /usr/bin/nginx; do
    [ -x "$path" ] && { echo "$path"; return 0; }
  done
  return 1
}

# True when something already listens on 127.0.0.1:PORT.
serve_port_busy() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

serve_start() {
  local state=$1 root=$2 port=$3 tls_port=${4:-} cert=${5:-} key=${6:-}
  local nginx
  nginx=$(serve_nginx) || { echo "nginx is not installed (scripts/setup installs it)" >&2; return 1; }
  for p in "$port" $tls_port; do
    if serve_port_busy "$p"; then
      echo "something already listens on 127.0.0.1:$p; stop it first" >&2
      return 1
    fi
  done
  mkdir -p "$state/tmp"
  state=$(cd "$state" && pwd)
  root=$(cd "$root" && pwd)
  local tls_server=""
  if [ -n "$tls_port" ]; then
    tls_server="  server { listen 127.0.0.1:$tls_port ssl; ssl_certificate $cert; ssl_certificate_key $key; root $root; }"
  fi
  cat >"$state/nginx.conf" <<CONF
master_process off;
pid $state/nginx.pid;
error_log $state/error.log;
events { worker_connections 64; }
http {
  access_log $state/access.log;
  client_body_temp_path $state/tmp/body;
  proxy_temp_path $state/tmp/proxy;
  fastcgi_temp_path $state/tmp/fastcgi;
  uwsgi_temp_path $state/tmp/uwsgi;
  scgi_temp_path $state/tmp/scgi;
  default_type application/octet-stream;
  server { listen 127.0.0.1:$port; root $root; }
$tls_server
}
CONF
  "$nginx" -e "$state/error.log" -c "$state/nginx.conf" -p "$state/" || {
    cat "$state/error.log" >&2 2>/dev/null
    return 1
  }
  local i
  for i in $(seq 50); do
    serve_port_busy "$port" && return 0
    sleep 0.1
  done
  echo "nginx does not answer on 127.0.0.1:$port" >&2
  serve_stop "$state"
  return 1
}

serve_stop() {
  local state=$1 pid
  [ -f "$state/nginx.pid" ] || return 0
  pid=$(cat "$state/nginx.pid" 2>/dev/null) || return 0
  kill "$pid" 2>/dev/null || true
  local i
  for i in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  rm -f "$state/nginx.pid"
}
