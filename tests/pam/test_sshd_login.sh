#!/usr/bin/env bash
# A real OpenSSH server on a loopback port whose PAM stack uses the built module, against the
# development server; the real ssh client logs in by keyboard-interactive, answering the
# password, method and code prompts through SSH_ASKPASS, and a push with push_wait_prompt, whose
# prompt must reach the client while the push is still pending. Runs inside tests/support/ns-run,
# so /etc (pam.d, passwd, zelvane.d) is the test's own.
# Usage: test_sshd_login.sh MODULE DEVSERVER
set -euo pipefail
module=$1
devserver=$2
[ "${ZV_IN_NS:-}" = 1 ] || { echo "must run inside tests/support/ns-run"; exit 2; }

work=$(mktemp -d /tmp/zv-sshd.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "--- sshd log"; cat "$work/sshd.log" 2>/dev/null || true
         echo "--- server log"; cat "$work/server.log" 2>/dev/null || true; exit 1; }

# shellcheck source=../support/wait_for.sh
. "$(dirname "$0")/../support/wait_for.sh"

# The development server.
# Appending, so that a test can empty the log while the server writes to it.
"$devserver" --state "$work/server" --port 0 >>"$work/server.log" 2>&1 &
pids+=($!)
wait_for 15 grep -q '^READY ' "$work/server.log" || fail "development server did not start"

# The module's configuration and the sshd PAM stack, in the private /etc.
configure() {
  {
    cat "$work/server/pam_zelvane.conf.snippet"
    printf '%s\n' auth_mode_1fa_2fa "$@"
  } >/etc/zelvane.d/pam_zelvane.conf
  chmod 0600 /etc/zelvane.d/pam_zelvane.conf
}
configure allowed_2fa_methods=otp_token,otp_sms
cat >/etc/pam.d/sshd <<PAM
auth     required $module
account  required pam_permit.so
session  required pam_permit.so
password required pam_deny.so
PAM

# The user, in the private passwd/shadow.
id alice >/dev/null 2>&1 || useradd -M -d "$work" -s /bin/sh alice
usermod -p '*' alice

# sshd on a free loopback port.
port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
port=""
for _ in $(seq 1 50); do
  candidate=$((20000 + RANDOM % 40000))
  port_free "$candidate" && { port=$candidate; break; }
done
[ -n "$port" ] || fail "no free port"
ssh-keygen -q -t ed25519 -N '' -f "$work/hostkey"
# sshd's privilege-separation directory, in a private /run so the host's is never touched.
mount -t tmpfs -o mode=0755 tmpfs /run
mkdir -m 0755 /run/sshd
cat >"$work/sshd_config" <<CFG
Port $port
ListenAddress 127.0.0.1
HostKey $work/hostkey
PidFile $work/sshd.pid
UsePAM yes
KbdInteractiveAuthentication yes
PasswordAuthentication no
PubkeyAuthentication no
AuthenticationMethods keyboard-interactive
PermitRootLogin no
StrictModes no
MaxAuthTries 2
LogLevel VERBOSE
CFG
/usr/sbin/sshd -D -e -f "$work/sshd_config" >"$work/sshd.log" 2>&1 &
pids+=($!)
wait_for 15 bash -c "! (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null; [ \$? -ne 0 ]" ||
  fail "sshd did not start"

# The client's answers: password, then "os" at the menu (or $ZV_METHOD), then the code the
# server printed (or a wrong one when ZV_WRONG_CODE is set). At the push's wait prompt it notes
# whether the push was still pending, has the server approve it, and presses Enter.
cat >"$work/askpass" <<'ASK'
#!/bin/sh
echo "$1" >>"$ZV_WORK/prompts"
case "$1" in
  *Password*) echo alice-password ;;
  *"select an authentication method"*) echo "${ZV_METHOD:-os}" ;;
  *"Approve the request on your phone"*)
    grep -q '^APPROVED ' "$ZV_WORK/server.log" || echo pending >>"$ZV_WORK/prompts"
    "$ZV_DEVSERVER" --state "$ZV_WORK/server" approve >/dev/null
    echo "" ;;
  *"verification code"*)
    for _ in $(seq 1 100); do
      code=$(sed -n 's/^DELIVERED sms code \([0-9]*\) for alice$/\1/p' "$ZV_WORK/server.log" | tail -n 1)
      [ -n "$code" ] && break
      sleep 0.1
    done
    if [ -n "${ZV_WRONG_CODE:-}" ]; then
      last=$(printf '%s' "$code" | tail -c 1)
      code="$(printf '%s' "$code" | head -c 5)$(( (last + 1) % 10 ))"
    fi
    echo "$code" ;;
  *) echo "" ;;
esac
ASK
chmod +x "$work/askpass"

login() {
  : >"$work/server.log.mark"
  SSH_ASKPASS="$work/askpass" SSH_ASKPASS_REQUIRE=force DISPLAY=:0 ZV_WORK="$work" \
    timeout 60 setsid ssh -F /dev/null -p "$port" -o StrictHostKeyChecking=no \
    -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR -o ConnectTimeout=10 \
    -o PreferredAuthentications=keyboard-interactive -o NumberOfPasswordPrompts=1 \
    alice@127.0.0.1 'echo LOGIN-OK' </dev/null
}
export ZV_DEVSERVER="$devserver"

echo "--- a two-factor login"
out=$(login 2>&1) || fail "login refused: $out"
grep -q LOGIN-OK <<<"$out" || fail "no shell output: $out"
grep -q 'Zelvane Password: ' "$work/prompts" || fail "no password prompt"
grep -q 'Enter a Zelvane verification code or select an authentication method: ' "$work/prompts" ||
  fail "no method prompt"
grep -q 'Zelvane verification code: ' "$work/prompts" || fail "no code prompt"
echo "ok"

echo "--- a wrong code is refused"
: >"$work/prompts"
: >"$work/server.log"
if out=$(ZV_WRONG_CODE=1 login 2>&1); then fail "login with a wrong code succeeded: $out"; fi
grep -q LOGIN-OK <<<"$out" && fail "shell ran after a wrong code"
grep -q 'Zelvane verification code: ' "$work/prompts" || fail "the code was never asked for"
echo "ok"

echo "--- a push with push_wait_prompt: the prompt reaches the client before the approval"
configure allowed_2fa_methods=otp_token,push_app push_wait_prompt max_push_wait_secs=20
: >"$work/prompts"
out=$(ZV_METHOD=pa login 2>&1) || fail "push login refused: $out"
grep -q LOGIN-OK <<<"$out" || fail "no shell output: $out"
grep -q '^Approve the request on your phone, then press Enter:' "$work/prompts" ||
  fail "no wait prompt: $(cat "$work/prompts")"
grep -qx pending "$work/prompts" || fail "the push was decided before the prompt reached the client"
grep -q '^APPROVED .* for alice$' "$work/server.log" || fail "the push was not approved"
echo "ok"

echo "3 passed, 0 failed"
