#!/usr/bin/env bash
# Logins through the real libpam (pamtester) behind real HTTP intermediaries in front of the
# development server: nginx as a TLS reverse proxy (plain replies, replies streamed in chunks, an
# IPv6 literal, a dead backend's 502 before a good server, its own 403), haproxy in HTTP mode and
# in TCP mode over two servers with one stopped, and squid as the CONNECT proxy with Basic
# authentication. Every daemon runs with its own files under a temporary directory, on fixed ports
# of the private network namespace of tests/support/netns-run, inside tests/support/ns-run.
# Usage: test_intermediaries.sh MODULE DEVSERVER
set -euo pipefail
module=$1
devserver=$2
[ "${ZV_IN_NS:-}${ZV_IN_NETNS:-}" = 11 ] ||
  { echo "must run inside tests/support/ns-run tests/support/netns-run"; exit 2; }

work=$(mktemp -d /tmp/zv-proxies.XXXXXX)
chmod 0711 "$work" # squid runs as proxy and reads and writes its own directory below
pids=()
cleanup() {
  kill "${pids[@]}" 2>/dev/null || true
  wait || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  for log in "$work"/*.log "$work"/squid/*.log; do echo "--- $log"; tail -n 20 "$log"; done
  exit 1
}
# shellcheck source=../support/wait_for.sh
. "$(dirname "$0")/../support/wait_for.sh"
listening() { (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null; }

# The front ends' certificate, from a CA of their own, for every name the rows use.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=zv-front-ca \
  -keyout "$work/front-ca.key" -out "$work/front-ca.pem" 2>/dev/null
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=localhost \
  -addext subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1 -addext basicConstraints=CA:FALSE \
  -CA "$work/front-ca.pem" -CAkey "$work/front-ca.key" \
  -keyout "$work/front.key" -out "$work/front.pem" 2>/dev/null
cat "$work/front.pem" "$work/front.key" >"$work/front-haproxy.pem"

# Two development servers: a on 8443, b on 8444 (only haproxy's TCP rows use b).
for s in a:8443 b:8444; do
  "$devserver" --state "$work/server-${s%:*}" --port "${s#*:}" >>"$work/server-${s%:*}.log" 2>&1 &
  pids+=($!)
done
server_b=${pids[-1]}

sq=$work/squid
mkdir "$sq"
printf 'zv:%s\n' "$(openssl passwd -apr1 proxy-secret)" >"$sq/passwd"
cat >"$sq/squid.conf" <<EOF
http_port 127.0.0.1:3128
visible_hostname zv-test
cache_effective_user proxy
pid_filename $sq/squid.pid
cache_log $sq/cache.log
access_log stdio:$sq/access.log
coredump_dir $sq
netdb_filename none
cache deny all
shutdown_lifetime 0 seconds
cache_mem 8 MB
pinger_enable off
auth_param basic program /usr/lib/squid/basic_ncsa_auth $sq/passwd
auth_param basic children 1 startup=1
auth_param basic realm zv
acl authenticated proxy_auth REQUIRED
http_access allow authenticated
http_access deny all
EOF
chown -R proxy: "$sq"
squid -N -f "$sq/squid.conf" &
pids+=($!)

# nginx and haproxy read server a's CA, which it writes before READY.
for s in a b; do
  wait_for 15 grep -q '^READY ' "$work/server-$s.log" || fail "development server $s did not start"
done

mkdir "$work/nginx"
cat >"$work/nginx.conf" <<EOF
daemon off;
user root;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx-error.log warn;
events { worker_connections 64; }
http {
  log_format zv '\$server_addr:\$server_port \$status te=\$sent_http_transfer_encoding';
  access_log $work/nginx.log zv;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  ssl_certificate $work/front.pem;
  ssl_certificate_key $work/front.key;
  proxy_ssl_verify on;
  proxy_ssl_trusted_certificate $work/server-a/ca.pem;
  proxy_ssl_name localhost;
  proxy_ssl_server_name on;
  server { # plain
    listen 127.0.0.1:9443 ssl;
    listen [::1]:9443 ssl;
    location / { proxy_pass https://127.0.0.1:8443; }
  }
  server { # the reply streamed through a filter: chunked
    listen 127.0.0.1:9444 ssl;
    location / {
      proxy_pass https://127.0.0.1:8443;
      proxy_set_header Accept-Encoding "";
      sub_filter '"errorCode"' '"errorCode"';
      sub_filter_once off;
      sub_filter_types application/json;
    }
  }
  server { # nothing listens behind it: 502
    listen 127.0.0.1:9445 ssl;
    location / { proxy_pass https://127.0.0.1:8999; }
  }
  server { # refuses every request
    listen 127.0.0.1:9446 ssl;
    location / { return 403; }
  }
}
EOF
nginx -e "$work/nginx-error.log" -c "$work/nginx.conf" &
pids+=($!)

cat >"$work/haproxy.cfg" <<EOF
global
  log stdout format raw local0
defaults
  log global
  timeout connect 2s
  timeout client 10s
  timeout server 10s
  retries 1
  option redispatch
frontend http_in
  mode http
  option httplog
  bind 127.0.0.1:9543 ssl crt $work/front-haproxy.pem
  default_backend http_servers
backend http_servers
  mode http
  server a 127.0.0.1:8443 ssl verify required ca-file $work/server-a/ca.pem sni str(localhost)
frontend tcp_in
  mode tcp
  option tcplog
  bind 127.0.0.1:9544
  default_backend tcp_servers
backend tcp_servers
  mode tcp
  balance roundrobin
  server a 127.0.0.1:8443
  server b 127.0.0.1:8444
EOF
haproxy -db -f "$work/haproxy.cfg" >"$work/haproxy.log" 2>&1 &
pids+=($!)


for p in 9443 9444 9445 9446 9543 9544 3128; do
  wait_for 15 listening 127.0.0.1 "$p" || fail "nothing listens on port $p"
done
wait_for 5 listening ::1 9443 || fail "nginx does not listen on [::1]:9443"
cat "$work/front-ca.pem" "$work/server-a/ca.pem" "$work/server-b/ca.pem" >"$work/ca-bundle.pem"
# A module built with the sanitizers needs their runtimes loaded first into pamtester.
preload=$(ldd "$module" | awk '/lib(asan|ubsan)\.so/ { printf "%s%s", sep, $3; sep = ":" }')
printf 'auth required %s\naccount required pam_permit.so\n' "$module" >/etc/pam.d/zv-proxies

# One login per row: the module's host list and further options, what the login must give (ok;
# refused: the server's answer, "Server error" shown and no other server asked; unavailable), and a
# pattern that the named log must show for it (it proves the intermediary did what the row says).
# A row "stop b" stops development server b; haproxy, without health checks, keeps it in the
# rotation and redispatches to a the connections that b refuses.
rows=(
  "nginx, plain|host=localhost:9443||ok|nginx.log|^127.0.0.1:9443 200 te=-$"
  "nginx, streamed in chunks|host=localhost:9444||ok|nginx.log|^127.0.0.1:9444 200 te=chunked$"
  "nginx, an IPv6 literal|host=[::1]:9443||ok|nginx.log|^::1:9443 200 "
  "nginx's 502 for a dead backend, then a good server|host=localhost:9445,localhost:8443||ok|nginx.log|^127.0.0.1:9445 502 "
  "nginx's 403 is the server's answer|host=localhost:9446,localhost:8443||refused|nginx.log|^127.0.0.1:9446 403 "
  "haproxy, HTTP mode|host=localhost:9543||ok|haproxy.log|http_in~ http_servers/a .* 200 "
  "stop b"
  "haproxy, TCP mode, server b stopped (1)|host=localhost:9544||ok|haproxy.log|tcp_in tcp_servers/a "
  "haproxy, TCP mode, server b stopped (2)|host=localhost:9544||ok|haproxy.log|tcp_in tcp_servers/a "
  "squid CONNECT, right password|host=localhost:8443|proxy_server=localhost proxy_port=3128 proxy_username=zv proxy_password=proxy-secret|ok|squid/access.log|TCP_TUNNEL/200 .*CONNECT localhost:8443 zv "
  "squid CONNECT, wrong password|host=localhost:8443|proxy_server=localhost proxy_port=3128 proxy_username=zv proxy_password=wrong|unavailable|squid/access.log|TCP_DENIED/407 .*CONNECT localhost:8443 zv "
)
lines() { wc -l <"$work/$1"; }
logged() { tail -n +"$(($2 + 1))" "$work/$1" | grep -q -- "$3"; } # logged LOG FROM_LINE PATTERN
requests() { grep -c validate_user "$work/server-a.log" || true; }
passed=0
for row in "${rows[@]}"; do
  if [ "$row" = "stop b" ]; then
    kill "$server_b"
    wait "$server_b" || true
    continue
  fi
  IFS='|' read -r name hosts options want log pattern <<<"$row"
  read -ra options <<<"$options"
  echo "--- $name"
  printf '%s\n' "$hosts" "ca_cert_file=$work/ca-bundle.pem" auth_mode_1fa request_timeout_secs=10 \
    "${options[@]}" >/etc/zelvane.d/pam_zelvane.conf
  chmod 0600 /etc/zelvane.d/pam_zelvane.conf
  mark=$(lines "$log")
  before=$(requests)
  status=0
  out=$(echo alice-password |
        LD_PRELOAD=$preload timeout 30 pamtester zv-proxies alice authenticate 2>&1) || status=$?
  ! grep -Eq 'Sanitizer|runtime error' <<<"$out" || fail "$name: $out"
  case $want in
    ok) [ "$status" = 0 ] || fail "$name: login failed: $out" ;;
    refused)
      grep -q 'Server error. Please contact support.' <<<"$out" || fail "$name: no server error: $out"
      grep -q 'pamtester: Authentication failure$' <<<"$out" || fail "$name: not refused: $out"
      [ "$(requests)" = "$before" ] || fail "$name: the next server was asked" ;;
    unavailable)
      grep -q 'pamtester: Authentication service cannot retrieve' <<<"$out" ||
        fail "$name: not unavailable: $out" ;;
  esac
  wait_for 5 logged "$log" "$mark" "$pattern" ||
    fail "$name: no line like '$pattern' in $log"
  echo "ok"
  passed=$((passed + 1))
done
echo "$passed passed, 0 failed"
