#!/usr/bin/env bash
# An https front that behaves as S3 does on the wire, for the benchmarks:
# nginx terminates TLS and keeps client connections alive, and passes each
# request on to a local S3 server over plain http (the sandbox, which closes
# its connection after every answer). Clients then pay a TLS handshake per
# connection they open, not per request, and the access log tells how many
# connections each client opened and how many handshakes were full ones.
#
#   bench/https_front.sh start UPSTREAM_URL DIR   start; prints the front's URL,
#                                                 then its CA bundle (cert.pem)
#   bench/https_front.sh count DIR                connections and full handshakes
#                                                 logged since the last count
#   bench/https_front.sh stop DIR                 stop the nginx started in DIR
#
# nginx comes from the distribution's packages (installed when missing).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)

usage() {
  echo "usage: $0 start UPSTREAM_URL DIR | count DIR | stop DIR" >&2
  exit 2
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

start() {
  local upstream=$1 dir=$2
  # shellcheck source=../scripts/lib/packages.sh
  . "$ROOT/scripts/lib/packages.sh"
  ensure_packages https_front nginx-light
  mkdir -p "$dir/tmp"
  openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 \
    -addext subjectAltName=IP:127.0.0.1 -keyout "$dir/key.pem" -out "$dir/cert.pem" \
    >/dev/null 2>&1
  local port
  port=$(free_port)
  # $connection: a number per client connection; $ssl_session_reused: "r"
  # when the handshake resumed a session, "." for a full one; then the AWS
  # service the request was signed for (from its credential scope), and when
  # the answer ended and how long the request took, in seconds.
  cat >"$dir/nginx.conf" <<EOF
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 4096; }
http {
  map \$http_authorization \$aws_service {
    "~/(?<service>[a-z0-9-]+)/aws4_request" \$service;
    default "-";
  }
  log_format conns '\$connection \$connection_requests \$ssl_session_reused \$aws_service \$msec \$request_time';
  access_log $dir/access.log conns;
  client_body_temp_path $dir/tmp/body;
  proxy_temp_path $dir/tmp/proxy;
  fastcgi_temp_path $dir/tmp/fastcgi;
  uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;
  # As S3: connections stay open between requests for as long as a client likes.
  keepalive_requests 1000000;
  keepalive_timeout 60s;
  client_max_body_size 0;
  proxy_request_buffering off;
  proxy_buffering off;
  # Unbuffered, nginx relays the answer through one buffer of this size and
  # sends each piece it read as a TLS record of its own: at the default (a
  # page) that is 4 KiB records, a quarter of what a server tuned for throughput
  # sends (16 KiB, the most TLS allows), and the clients pay per record.
  proxy_buffer_size 64k;
  proxy_buffers 4 64k;
  proxy_http_version 1.1;
  proxy_read_timeout 300s;
  ssl_session_cache shared:tls:10m;
  server {
    listen 127.0.0.1:$port ssl;
    ssl_certificate $dir/cert.pem;
    ssl_certificate_key $dir/key.pem;
    location / {
      # Requests are signed for the host the client addressed.
      proxy_set_header Host \$http_host;
      proxy_pass $upstream;
    }
  }
}
EOF
  nginx -c "$dir/nginx.conf" -p "$dir" -e "$dir/error.log"
  echo "https://127.0.0.1:$port"
  echo "$dir/cert.pem"
}

count() {
  local dir=$1 log=$1/access.log seen=0
  [ -f "$dir/counted" ] && seen=$(cat "$dir/counted")
  local total
  total=$(wc -l <"$log")
  # A connection's first request carries its handshake.
  tail -n +"$((seen + 1))" "$log" | awk '$2 == 1 { c++; if ($3 != "r") f++ }
    END { printf "requests %d connections %d full_handshakes %d\n", NR, c, f }'
  echo "$total" >"$dir/counted"
}

stop() {
  local dir=$1
  [ -s "$dir/nginx.pid" ] || return 0
  kill "$(cat "$dir/nginx.pid")"
}

case "${1:-}" in
  start) [ $# -eq 3 ] || usage; start "$2" "$3" ;;
  count) [ $# -eq 2 ] || usage; count "$2" ;;
  stop) [ $# -eq 2 ] || usage; stop "$2" ;;
  *) usage ;;
esac
