#!/usr/bin/env bash
# The Debian package installed with the real dpkg into a throwaway root: /etc, /usr and /var are
# overlays (upper layers on a tmpfs) in a private mount namespace, so the machine's own files and
# package database never change. There it logs in through the pam-auth-update profile (the real
# libpam, pam_unix for the password, the installed module against the development server for a
# TOTP code), runs the installed zelvane-check, enables and disables the profile, removes the
# package (a changed configuration stays) and purges it: nothing of it may be left, offline code
# files included.
# Usage: test_deb.sh DEB DEVSERVER   (as root)
set -euo pipefail

if [ "${1:-}" != --inside ]; then
  deb=$(realpath "$1")
  devserver=$(realpath "$2")
  scratch=$(mktemp -d /tmp/zv-deb.XXXXXX)
  status=0
  unshare --mount --propagation private -- "$0" --inside "$scratch" "$deb" "$devserver" ||
    status=$?
  rm -rf "$scratch"
  exit $status
fi
scratch=$2
deb=$3
devserver=$4

server_pid=""
cleanup() { [ -z "$server_pid" ] || { kill "$server_pid"; wait "$server_pid"; } 2>/dev/null || true; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
# quiet COMMAND...: its output only when it fails.
quiet() { "$@" >"$scratch/out" 2>&1 || { cat "$scratch/out"; return 1; }; }

mount -t tmpfs -o mode=0700 tmpfs "$scratch"
for dir in etc usr var; do
  mkdir "$scratch/$dir.up" "$scratch/$dir.work"
  mount -t overlay overlay \
    -o "lowerdir=/$dir,upperdir=$scratch/$dir.up,workdir=$scratch/$dir.work" "/$dir"
done
export DEBIAN_FRONTEND=noninteractive
# The throwaway root starts without the package and its configuration, and with the PAM stacks
# as pam-auth-update writes them, whatever the machine has.
quiet dpkg -P libpam-zelvane
rm -rf /etc/zelvane.d
quiet pam-auth-update --package --force

moddir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/security
conf=/etc/zelvane.d/pam_zelvane.conf
# Paths of the package that were there before it (the shared directories).
mapfile -t listed < <(dpkg-deb -c "$deb" | awk '{ sub(/^\./, "", $6); sub(/\/$/, "", $6); print $6 }')
before=()
for path in "${listed[@]}"; do [ -e "$path" ] && before+=("$path"); done

stack_has_module() { grep -qs 'pam_zelvane' /etc/pam.d/common-auth; }
# login ANSWER...: pamtester through /etc/pam.d/zv-pkg (common-auth), one answer per prompt.
login() { printf '%s\n' "$@" | timeout 60 pamtester zv-pkg alice authenticate >/dev/null 2>&1; }

echo "--- install"
quiet dpkg -i "$deb"
[ -f "$moddir/pam_zelvane.so" ] || fail "module not in $moddir"
[ "$(stat -c '%a %U' /etc/zelvane.d)" = "700 root" ] || fail "configuration directory not 0700 root"
[ "$(stat -c '%a %U' "$conf")" = "600 root" ] || fail "configuration not 0600 root"
dpkg-query -W -f '${Conffiles}' libpam-zelvane | grep -q " $conf " || fail "configuration is no conffile"
[ -f /usr/share/man/man8/pam_zelvane.8.gz ] || fail "no man page"
grep -q '^Default: no$' /usr/share/pam-configs/zelvane || fail "profile not off by default"
stack_has_module && fail "installing enabled the profile"
echo ok

echo "--- the profile enabled: password, then a TOTP code from the module"
"$devserver" --state "$scratch/server" --port 0 >"$scratch/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 1 150); do grep -q '^READY ' "$scratch/server.log" && break; sleep 0.1; done
grep -q '^READY ' "$scratch/server.log" || fail "development server did not start"
{ cat "$scratch/server/pam_zelvane.conf.snippet"; echo offline_codes; } >"$conf"
id alice >/dev/null 2>&1 || useradd -M -s /bin/sh alice
echo 'alice:unix-password' | chpasswd
printf 'auth include common-auth\naccount required pam_permit.so\n' >/etc/pam.d/zv-pkg
quiet pam-auth-update --enable zelvane
grep -Eq '^auth[[:space:]]+required[[:space:]]+pam_zelvane\.so' /etc/pam.d/common-auth ||
  fail "enabling did not add the module to common-auth"
totp() { oathtool --totp -b JBSWY3DPEHPK3PXP; }
login unix-password "$(totp)" || fail "login with password and code refused"
[ "$(stat -c %a /etc/zelvane.d/alice.offline 2>/dev/null)" = 600 ] ||
  fail "the module stored no offline codes"
code=$(totp)
login unix-password "${code:0:5}$(((${code:5:1} + 5) % 10))" && fail "a wrong code passed"
echo ok

echo "--- zelvane-check: the configuration and the server, a login through the installed module"
[ -f /usr/share/man/man8/zelvane-check.8.gz ] && [ -f /usr/share/man/man5/pam_zelvane.conf.5.gz ] ||
  fail "no man pages of zelvane-check and the configuration"
quiet /usr/sbin/zelvane-check || fail "zelvane-check found fault with a working configuration"
totp | quiet /usr/sbin/zelvane-check --user alice || fail "zelvane-check --user alice failed"
counted=$(/usr/sbin/zelvane-check --offline alice || true) # few codes left: a warning
grep -Eq '^[a-z]+ offline alice: [0-9]+ offline codes? left$' <<<"$counted" ||
  fail "zelvane-check --offline does not count alice's codes: $counted"
echo ok

echo "--- the profile disabled: the password alone"
quiet pam-auth-update --disable zelvane
stack_has_module && fail "disabling left the module in common-auth"
login unix-password || fail "password login refused without the module"
echo ok

echo "--- remove: out of the stacks, the changed configuration stays"
quiet pam-auth-update --enable zelvane
quiet dpkg -r libpam-zelvane
grep -rqs pam_zelvane /etc/pam.d && fail "a PAM stack still names the removed module"
[ -e "$moddir/pam_zelvane.so" ] && fail "module left after remove"
grep -q '^offline_codes$' "$conf" || fail "the administrator's configuration was not kept"
[ "$(dpkg-query -W -f '${db:Status-Status}' libpam-zelvane)" = config-files ] ||
  fail "package not in the config-files state"
login unix-password || fail "password login refused after remove"
echo ok

echo "--- purge: nothing left"
# What the module leaves after a failed offline check and a push, beside the stock it wrote.
printf '1 0\n' >/etc/zelvane.d/alice.offline.fail
printf '0 0\n' >/etc/zelvane.d/alice.push
quiet dpkg -P libpam-zelvane
[ -e /etc/zelvane.d ] && fail "/etc/zelvane.d left after purge: $(ls -A /etc/zelvane.d)"
dpkg-query -W libpam-zelvane >/dev/null 2>&1 && fail "dpkg still knows the package"
for path in "${listed[@]}"; do
  [ -e "$path" ] || continue
  printf '%s\n' "${before[@]}" | grep -qxF "$path" || fail "$path left after purge"
done
# Changed files may mention it only where the machine keeps its own records: dpkg's log, the
# backups of their previous state that dpkg and debconf keep, and man-db's index (which its
# daily job purges).
left=$(cd "$scratch" &&
  { find etc.up usr.up var.up -iname '*zelvane*'; grep -rlI zelvane etc.up usr.up var.up; } |
  grep -vxE 'var\.up/(log/dpkg\.log|lib/dpkg/status-old|cache/debconf/[a-z]+\.dat-old|cache/man/.*)' |
  sort -u || true)
[ -z "$left" ] || fail "left after purge: $left"
echo ok

echo "6 passed, 0 failed"
