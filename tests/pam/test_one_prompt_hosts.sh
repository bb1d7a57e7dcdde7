#!/usr/bin/env bash
# Real hosts that ask the user one question and give the answer to every PAM prompt: an OpenVPN
# server and client (openvpn-plugin-auth-pam, with and without the client's static challenge),
# Dovecot IMAP with curl as the client, and sshd's password method, on loopback against the
# development server. Rows: "password,code" checked by the server (auth_mode_1fa_2fa), and
# forward_pass handing the local password on to pam_unix (right; a wrong code on every host; a
# wrong local password once, on sshd: pam_unix refuses it alike behind any host).
# Runs inside tests/support/ns-run and tests/support/netns-run: /etc and the network are its own.
# Usage: test_one_prompt_hosts.sh MODULE DEVSERVER
set -euo pipefail
module=$(realpath "$1")
devserver=$2
[ "${ZV_IN_NS:-}${ZV_IN_NETNS:-}" = 11 ] ||
  { echo "must run inside tests/support/ns-run and tests/support/netns-run"; exit 2; }

work=$(mktemp -d /tmp/zv-hosts.XXXXXX)
chmod 0755 "$work" # Dovecot's login processes and alice reach their directories below it
pids=()
cleanup() {
  for f in "$work"/*.pid; do [ -s "$f" ] && kill "$(cat "$f")" 2>/dev/null; done
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  for log in "$work"/*.log; do echo "--- $log"; tail -n 25 "$log"; done
  exit 1
}
# shellcheck source=../support/wait_for.sh
. "$(dirname "$0")/../support/wait_for.sh"
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

"$devserver" --state "$work/server" --port 0 >>"$work/server.log" 2>&1 &
pids+=($!)
wait_for 15 grep -q '^READY ' "$work/server.log" || fail "development server did not start"
{
  cat "$work/server/pam_zelvane.conf.snippet"
  echo allowed_2fa_methods=otp_token
} >/etc/zelvane.d/pam_zelvane.conf
chmod 0600 /etc/zelvane.d/pam_zelvane.conf

# alice: "alice-password" at the server, "localpass" in the private shadow file.
id alice >/dev/null 2>&1 || useradd -M -d "$work/alice" -s /bin/sh alice
usermod -d "$work/alice" alice >/dev/null 2>&1 || true
echo alice:localpass | chpasswd
install -d -m 0700 -o alice -g alice "$work/alice"

stack() { # stack SERVICE KIND: the host's auth stack (nodelay: no pause after a failure)
  case $2 in
    both) echo "auth requisite $module auth_mode_1fa_2fa no_username_commands" ;;
    forward) printf '%s\n' "auth requisite $module forward_pass no_username_commands" \
                           "auth required pam_unix.so use_first_pass nodelay" ;;
    local) printf '%s\n' "auth requisite pam_unix.so nodelay" "auth requisite $module" ;;
  esac >"/etc/pam.d/$1"
  printf '%s\n' "account required pam_permit.so" "session required pam_permit.so" \
    "password required pam_deny.so" >>"/etc/pam.d/$1"
}

# OpenVPN: a CA and a server certificate; tun devices get no address and no route.
# The private /dev is a copy: a machine without the node gets one there (misc 10, minor 200).
if [ ! -c /dev/net/tun ]; then
  mkdir -p /dev/net && mknod -m 0666 /dev/net/tun c 10 200 || fail "no /dev/net/tun"
fi
pki() { openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=$1" \
          -keyout "$work/$1.key" "${@:2}" 2>/dev/null; }
pki zv-ca -x509 -days 1 -out "$work/ca.pem"
pki server -out "$work/server.csr"
openssl x509 -req -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/zv-ca.key" \
  -CAcreateserial -days 1 -out "$work/server.pem" 2>/dev/null
cat >"$work/common.conf" <<CFG
proto udp
dev tun
ifconfig-noexec
route-noexec
disable-dco
ca $work/ca.pem
verb 3
CFG
# Port 1194: the plugin with the service name only; 1195: name/value pairs for the static
# challenge ("login" is asked because the plugin then starts PAM without the user name; a
# message that no pair names fails the conversation, so the module must not show its menu).
ovpn_server() { # ovpn_server PORT PLUGIN-ARGUMENTS...
  local args
  printf -v args ' "%s"' "${@:2}"
  cat >"$work/server$1.conf" <<CFG
config $work/common.conf
local 127.0.0.1
port $1
server 10.8.${1: -1}.0 255.255.255.0
cert $work/server.pem
key $work/server.key
dh none
verify-client-cert none
plugin /usr/lib/openvpn/openvpn-plugin-auth-pam.so$args
setenv deferred_auth_pam 1
writepid $work/server$1.pid
CFG
  openvpn --config "$work/server$1.conf" >"$work/openvpn-server$1.log" 2>&1 &
  pids+=($!)
}
ovpn_server 1194 zv-openvpn
ovpn_server 1195 zv-openvpn-sc login USERNAME Password PASSWORD "Zelvane Password" PASSWORD \
  "Zelvane verification code" OTP
for port in 1194 1195; do
  wait_for 15 grep -q 'Initialization Sequence Completed' "$work/openvpn-server$port.log" ||
    fail "openvpn server on port $port did not start"
done
cat >"$work/client.conf" <<CFG
config $work/common.conf
client
verify-x509-name server name
auth-user-pass $work/creds
auth-nocache
connect-retry-max 1
writepid $work/client.pid
CFG
login_openvpn() { # login_openvpn ANSWER [CHALLENGE-RESPONSE]: the second on port 1195
  local log=$work/openvpn-client.log pid
  printf 'alice\n%s\n' "$1" >"$work/creds"
  chmod 0600 "$work/creds"
  : >"$log"
  if [ $# -eq 2 ]; then # the response is typed at the client's terminal
    expect -c "set timeout -1
               spawn openvpn --config $work/client.conf --remote 127.0.0.1 1195 \\
                     --static-challenge Code 1
               expect {CHALLENGE: Code}; send {$2}; send \\r; expect eof" >"$log" 2>&1 &
  else
    openvpn --config "$work/client.conf" --remote 127.0.0.1 1194 >"$log" 2>&1 &
  fi
  pid=$!
  wait_for 20 grep -q -e 'Initialization Sequence Completed' -e AUTH_FAILED "$log" ||
    fail "openvpn client: no outcome"
  [ ! -s "$work/client.pid" ] || kill "$(cat "$work/client.pid")" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  rm -f "$work/client.pid"
  grep -q 'Initialization Sequence Completed' "$log"
}

# Dovecot IMAP, run as root with its own directories, no authentication cache.
cat >"$work/dovecot.conf" <<CFG
base_dir = $work/dovecot
state_dir = $work/dovecot-state
log_path = $work/dovecot.log
protocols = imap
listen = 127.0.0.1
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain
auth_cache_size = 0
auth_failure_delay = 0
mail_location = maildir:~/Maildir
default_internal_user = dovecot
default_login_user = dovenull
service imap-login {
  inet_listener imap {
    port = 1143
  }
}
passdb {
  driver = pam
  args = zv-dovecot
}
userdb {
  driver = passwd
}
CFG
dovecot -F -c "$work/dovecot.conf" &
pids+=($!)
imap_logins=0
login_dovecot() { # login_dovecot ANSWER
  local rc=0
  # Each login from an address of its own: Dovecot delays logins from an address that failed.
  imap_logins=$((imap_logins + 1))
  timeout 20 curl -sS --max-time 15 --interface "127.0.0.$((imap_logins + 1))" \
    "imap://127.0.0.1:1143/" -u "alice:$1" >/dev/null \
    2>>"$work/curl.log" || rc=$?
  [ "$rc" -eq 67 ] && return 1 # login denied
  [ "$rc" -eq 0 ] || fail "curl: exit status $rc"
}

# sshd's password method.
ssh-keygen -q -t ed25519 -N '' -f "$work/hostkey"
mount -t tmpfs -o mode=0755 tmpfs /run
mkdir -m 0755 /run/sshd
cat >"$work/sshd_config" <<CFG
Port 2222
ListenAddress 127.0.0.1
HostKey $work/hostkey
PidFile $work/sshd.pid
UsePAM yes
PasswordAuthentication yes
KbdInteractiveAuthentication no
PubkeyAuthentication no
PermitRootLogin no
StrictModes no
MaxAuthTries 2
LogLevel VERBOSE
CFG
/usr/sbin/sshd -D -e -f "$work/sshd_config" >"$work/sshd.log" 2>&1 &
pids+=($!)
cat >"$work/askpass" <<'ASK'
#!/bin/sh
echo "$ZV_ANSWER"
ASK
chmod +x "$work/askpass"
login_sshd() { # login_sshd ANSWER
  local out rc=0
  out=$(ZV_ANSWER=$1 SSH_ASKPASS="$work/askpass" SSH_ASKPASS_REQUIRE=force DISPLAY=:0 \
    timeout 20 setsid ssh -F /dev/null -p 2222 -o StrictHostKeyChecking=no \
    -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR -o ConnectTimeout=10 \
    -o PreferredAuthentications=password -o NumberOfPasswordPrompts=1 \
    alice@127.0.0.1 'echo LOGIN-OK' </dev/null 2>&1) || rc=$?
  [ "$rc" -eq 0 ] && grep -q LOGIN-OK <<<"$out" && return 0
  grep -q 'Permission denied' <<<"$out" && return 1
  fail "ssh: exit status $rc: $out"
}
wait_for 15 listening 1143 || fail "dovecot did not start"
wait_for 15 listening 2222 || fail "sshd did not start"

# HOST STACK ANSWER [CHALLENGE-RESPONSE] -> ok|refused; CODE is the token's current code,
# WRONG the same code with its last digit changed.
rows=(
  "openvpn    both    alice-password,CODE    -      ok"
  "openvpn    forward localpass,CODE         -      ok"
  "openvpn    forward localpass,WRONG        -      refused"
  "openvpn-sc both    alice-password         CODE   ok"
  "openvpn-sc local   localpass              CODE   ok"
  "openvpn-sc local   localpass              WRONG  refused"
  "dovecot    both    alice-password,CODE    -      ok"
  "dovecot    forward localpass,CODE         -      ok"
  "dovecot    forward localpass,WRONG        -      refused"
  "sshd       both    alice-password,CODE    -      ok"
  "sshd       forward localpass,CODE         -      ok"
  "sshd       forward wrongpass,CODE         -      refused"
  "sshd       forward localpass,WRONG        -      refused"
)
passed=0
for row in "${rows[@]}"; do
  read -r host kind answer response want <<<"$row"
  code=$(oathtool --totp -b JBSWY3DPEHPK3PXP)
  wrong="${code:0:5}$(((${code:5} + 1) % 10))"
  answer=${answer/CODE/$code}; answer=${answer/WRONG/$wrong}
  response=${response/CODE/$code}; response=${response/WRONG/$wrong}
  service=zv-$host
  [ "$host" = sshd ] && service=sshd
  stack "$service" "$kind"
  args=("$answer")
  [ "$response" = - ] || args+=("$response")
  seen=$(wc -l <"$work/server.log")
  got=refused
  "login_${host%-sc}" "${args[@]}" && got=ok
  what="$host $kind ${answer/$code/<code>} ${response/$code/<code>}"
  [ "$got" = "$want" ] || fail "$what: $got"
  # The server checked the code in every row, and refused the wrong one.
  verdict=0
  [[ $row != *WRONG* ]] || verdict=9003
  tail -n +"$((seen + 1))" "$work/server.log" |
    grep -Eq "validate_oath_otp user=alice -> $verdict( |$)" ||
    fail "$what: the server did not answer $verdict to the code"
  echo "ok: $what: $want ($SECONDS s)"
  passed=$((passed + 1))
done
echo "$passed passed, 0 failed"
