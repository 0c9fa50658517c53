#!/usr/bin/env bash
# Two calldb serve behind a real nginx, configured with README's upstream block as it stands:
# a HamQTH-style session given out through nginx is taken by whichever server a search reaches,
# and with one server gone the other goes on answering.
#   callbook_nginx_test.sh CALLDB README
set -uo pipefail
calldb=$1 readme=$2
nginx=/usr/sbin/nginx
[ -x "$nginx" ] && command -v curl >/dev/null || { echo "SKIP: nginx or curl is missing"; exit 77; }
tmp=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$calldb" sample "$tmp/data" >/dev/null || fail "calldb sample"
ports=()
for i in 1 2; do
  "$calldb" serve -C "$tmp/data" --listen 127.0.0.1:0 2>"$tmp/serve$i.log" &
  pids+=($!)
  for _ in $(seq 100); do
    port=$(sed -n 's|^calldb serve: listening on http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$tmp/serve$i.log")
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || fail "server $i did not start: $(cat "$tmp/serve$i.log")"
  ports+=("$port")
done
front=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')

# README's block, with this machine's addresses and ports.
block=$(sed -n '/^upstream callbook {$/,/^```$/p' "$readme" | sed '$d')
[ -n "$block" ] || fail "README has no upstream block"
block=${block//192.168.1.21:7373/127.0.0.1:${ports[0]}}
block=${block//192.168.1.22:7373/127.0.0.1:${ports[1]}}
block=${block//listen 80;/listen 127.0.0.1:$front;}
mkdir -p "$tmp/nginx/logs"
cat >"$tmp/nginx/nginx.conf" <<CONF
daemon off;
pid $tmp/nginx/nginx.pid;
error_log $tmp/nginx/logs/error.log;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $tmp/nginx/body;
  proxy_temp_path $tmp/nginx/proxy;
  fastcgi_temp_path $tmp/nginx/fastcgi;
  uwsgi_temp_path $tmp/nginx/uwsgi;
  scgi_temp_path $tmp/nginx/scgi;
$block
}
CONF
"$nginx" -p "$tmp/nginx" -c "$tmp/nginx/nginx.conf" 2>"$tmp/nginx/start.log" &
pids+=($!)

get() { curl -s --max-time 5 "$1" || echo "ERROR: curl $?"; }
base=http://127.0.0.1:$front
for _ in $(seq 100); do
  get "$base/" | grep -q "calldb serve" && break
  sleep 0.1
done
call=$("$calldb" search -C "$tmp/data" --name A 2>/dev/null | head -1 | cut -d' ' -f1)
city=$("$calldb" lookup -C "$tmp/data" "$call" | sed -n 4p | sed 's/ [A-Z?]\{2\} [0-9]\{5\}$//')
session=$(get "$base/xml.php?u=me&p=any" | sed -n 's|.*<session_id>\(.*\)</session_id>.*|\1|p')
[ -n "$session" ] || fail "no session id through nginx"
# Round robin: the searches reach both servers, and each takes the session.
for _ in 1 2 3 4; do
  reply=$(get "$base/xml.php?id=$session&callsign=$call&prg=test")
  grep -q "<qth>$city</qth>" <<<"$reply" || fail "search through nginx: $reply"
done
kill "${pids[0]}"
for _ in 1 2 3 4; do
  reply=$(get "$base/$call/json")
  grep -q '"status":"VALID"' <<<"$reply" || fail "with one server gone: $reply"
done
echo "nginx in front of two servers: sessions and answers from either"
