#!/usr/bin/env bash
# zelvane-check against the development server, in the private /etc of tests/support/ns-run: a
# good configuration, a world-readable one, wrong credentials, a dead server and a wrong CA, with
# their exit statuses; a proxy (tinyproxy) that refuses the credentials or asks for some; lines
# that may hold a value, and a FIFO in the file's place; a login through a service stack and
# through the built-in stack (the module directory an overlay holding the built module); the
# offline code counts. No output may hold a key, a proxy password, a code,
# a hash or a value.
# Usage: test_check.sh CHECK MODULE DEVSERVER PAM_MODULE_DIR
set -euo pipefail
check=$1
module=$2
devserver=$3
moddir=$4
[ "${ZV_IN_NS:-}" = 1 ] || { echo "must run inside tests/support/ns-run"; exit 2; }

work=$(mktemp -d /tmp/zv-check.XXXXXX)
server_pid=""
proxy_pid=""
cleanup() {
  [ -z "$server_pid" ] || { kill "$server_pid"; wait "$server_pid"; } 2>/dev/null || true
  [ -z "$proxy_pid" ] || { kill "$proxy_pid"; wait "$proxy_pid"; } 2>/dev/null || true
  umount "$moddir" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "--- last output"; cat "$work/out" 2>/dev/null || true; exit 1; }
passed=0

key=Sekrit-Key-42
proxy_password=Proxy-Pw-7731
"$devserver" --state "$work/server" --port 0 --basic "acct:$key" >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 1 150); do grep -q '^READY ' "$work/server.log" && break; sleep 0.1; done
grep -q '^READY ' "$work/server.log" || fail "development server did not start"
conf=/etc/zelvane.d/pam_zelvane.conf
good=$(cat "$work/server/pam_zelvane.conf.snippet"; echo "proxy_username=someone"
       echo "proxy_password=$proxy_password")

# run WANT_STATUS [ARGS...]: zelvane-check's output in $work/out (kept in $work/all), its exit
# status checked.
run() {
  local want=$1 status=0
  shift
  "$check" "$@" >"$work/out" 2>&1 || status=$?
  cat "$work/out" >>"$work/all"
  [ "$status" = "$want" ] || fail "zelvane-check $* exited $status, not $want"
}
configure() { printf '%s\n' "$good" "$@" >"$conf"; chmod 0600 "$conf"; }
has() { grep -q -- "$1" "$work/out" || fail "no line like: $1"; }
ok() { echo "ok"; passed=$((passed + 1)); }

echo "--- a good configuration: 0, every step and the request, secrets masked"
configure
run 0
has '^ok server localhost:[0-9]*: resolved in [0-9.]* ms, connected to 127.0.0.1 in [0-9.]* ms, TLS handshake and name check in [0-9.]* ms; certificate /CN=localhost, expires 20'
has '^ok server localhost:[0-9]*: request [0-9.]* ms: the server answers and accepts the application credentials'
has '^ok ca: .*/ca.pem: 1 certificate, the earliest expiring 20'
has '^setting application_key=(set, not shown)$'
has '^setting proxy_password=(set, not shown)$'
has '^setting host="localhost"$'
has '^OK: 0 errors, 0 warnings$'
ok

echo "--- a world-readable configuration, a stray line, DOS line ends, forward_pass: warnings, 1"
configure "$key-pasted" $'debug\r' forward_pass auth_mode_1fa_2fa
chmod 0644 "$conf"
run 1
has "^warning config: $conf has mode 0644: others can read it"
has '^warning config: line [0-9]*: not an option (20 bytes, not shown)$'
has '^warning config: .* has carriage returns'
has '^warning config: line [0-9]*: the flag debug is not recognised'
has '^warning config: forward_pass works only with auth_mode_2fa'
ok

echo "--- wrong credentials, a dead server, a wrong CA: errors, 2"
configure application_key=wrong-key
run 2
has '^error server localhost:[0-9]*: request .*HTTP 401: the server refuses the application credentials'
configure host=127.0.0.1 port=1
run 2
has '^error server 127.0.0.1:1: connecting failed: connection refused'
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/other.key" \
  -out "$work/other.pem" -subj /CN=other -days 2 2>/dev/null
configure "ca_cert_file=$work/other.pem"
run 2
has '^error server localhost:[0-9]*: .* failed: TLS failure'
grep -q '^[a-z]* server .*: request ' "$work/out" && fail "a request was sent over an unverified connection"
ok

echo "--- a proxy that refuses the credentials, or asks for some: an error naming it, 2"
# (tinyproxy answers wrong credentials with 401 and missing ones with 407)
printf 'Port 3128\nListen 127.0.0.1\nAllow 127.0.0.1\nBasicAuth someone Other1\nLogFile "%s"\n' \
  "$work/tinyproxy.log" >"$work/tinyproxy.conf"
tinyproxy -d -c "$work/tinyproxy.conf" >/dev/null 2>&1 &
proxy_pid=$!
for _ in $(seq 1 50); do (: </dev/tcp/127.0.0.1/3128) 2>/dev/null && break; sleep 0.1; done
configure proxy_server=127.0.0.1 proxy_port=3128
run 2
has '^error proxy: 127.0.0.1:3128 refused the credentials (HTTP 40[17]): check proxy_username and proxy_password$'
printf '%s\n' "$(cat "$work/server/pam_zelvane.conf.snippet")" proxy_server=127.0.0.1 \
  proxy_port=3128 >"$conf"
run 2
has '^error proxy: 127.0.0.1:3128 refused the credentials (HTTP 407): it asks for some; set proxy_username and proxy_password$'
kill "$proxy_pid"
wait "$proxy_pid" 2>/dev/null || true
ok

echo "--- one login through a service stack and through the built-in stack"
configure auth_mode_1fa_2fa
printf 'auth required %s\n' "$module" >/etc/pam.d/zv-check
totp=$(oathtool --totp -b JBSWY3DPEHPK3PXP)
printf 'alice-password\n%s\n' "$totp" | run 0 --user alice --service zv-check
has 'Zelvane Password: '
has '^ok login: alice, service zv-check: Success (0)$'
printf 'wrong\n%s\n' "$totp" | run 2 --user alice --service zv-check
has '^error login: alice, service zv-check: Authentication failure (7)$'
# The built-in stack names the installed module: here the built one, in an overlay.
mkdir -p "$work/up" "$work/ovl"
cp "$module" "$work/up/pam_zelvane.so"
mount -t overlay overlay -o "lowerdir=$moddir,upperdir=$work/up,workdir=$work/ovl" "$moddir"
printf 'alice-password\n%s\n' "$totp" | run 0 --user alice
has '^ok login: alice, service built-in stack: Success (0)$'
[ -z "$(ls /etc/pam.d | grep -i zelvane)" ] || fail "the built-in stack was written to /etc/pam.d"
ok

echo "--- offline code counts"
hash_line() { printf '$6$%s$%s\n' AAAAAAAAAAAAAAA"$1" "$(printf '%0128d' "$1")"; }
for i in 1 2 3; do hash_line "$i"; done >/etc/zelvane.d/alice.offline
for i in 1 2 3 4 5 6 7 8; do hash_line "$i"; done >/etc/zelvane.d/bob.offline
hash_line 9 >/etc/zelvane.d/bob.offline.new
run 1 --offline
has '^warning offline alice: 3 offline codes left$'
has '^ok offline bob: 8 offline codes left$'
[ "$(grep -c '^[a-z]* offline ' "$work/out")" = 2 ] || fail "not exactly two users counted"
run 0 --offline bob
run 1 --offline carol
has '^warning offline carol: no offline codes$'
ok

echo "--- lines that may hold a value: a value glued on, after a colon, wrapped onto its own line"
configure application_keyhunter2 application_key:hunter2 "proxy_password =" wrappedvalue
run 1
has '^warning config: line [0-9]*: application_key (value hidden) is no option$'
has '^warning config: line [0-9]*: the value of application_key is not valid$'
has '^warning config: line [0-9]*: not an option (12 bytes, not shown)$'
ok

echo "--- a FIFO as the configuration file: refused at once"
rm -f "$conf"
mkfifo -m 0600 "$conf"
status=0
timeout 20 "$check" >"$work/out" 2>&1 || status=$?
rm -f "$conf"
[ "$status" = 2 ] || fail "zelvane-check on a FIFO exited $status, not 2"
has "^error config: $conf is not a regular file$"
ok

echo "--- no output holds a secret"
for secret in "$key" "$proxy_password" "$totp" "$(printf '%0128d' 1)" alice-password hunter2 \
  wrappedvalue; do
  grep -qF -- "$secret" "$work/all" && fail "an output holds a secret: $secret"
done
ok

echo "$passed passed, 0 failed"
