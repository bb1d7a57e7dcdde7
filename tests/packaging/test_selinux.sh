#!/usr/bin/env bash
# The SELinux policy module linked, as semodule would, with the reference policy that Debian
# ships (selinux-policy-default): the login domains there join zelvane_pam_domain, which may
# connect to HTTP and HTTP proxy ports, read the configuration and manage the offline code files
# (which the directory gives their own type), but not change the configuration; the file
# contexts label the files so. Needs no SELinux kernel: the policy is inspected, not loaded.
# Usage: test_selinux.sh PAM_ZELVANE_PP
set -euo pipefail
pp=$1
refpolicy=/usr/share/selinux/default
work=$(mktemp -d /tmp/zv-selinux.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# The base module and those that declare the login domains (sudo and su domains come from the
# role modules).
modules=()
for name in base ssh su sudo staff unprivuser; do
  bunzip2 -c "$refpolicy/$name.pp.bz2" >"$work/$name.pp"
  modules+=("$work/$name.pp")
done
semodule_link -o "$work/linked.pp" "${modules[@]}" "$pp" >/dev/null
semodule_expand "$work/linked.pp" "$work/policy.bin"

echo "--- the login domains run the module, and what they create in /etc/zelvane.d is offline codes"
members=$(seinfo -x -a zelvane_pam_domain "$work/policy.bin")
transitions=$(sesearch -T -s zelvane_pam_domain -t zelvane_etc_t -c file "$work/policy.bin")
for domain in sshd_t local_login_t sysadm_sudo_t staff_sudo_t user_sudo_t sysadm_su_t staff_su_t \
              user_su_t; do
  grep -qw "$domain" <<<"$members" || fail "$domain does not run the module"
  grep -qxF "type_transition $domain zelvane_etc_t:file zelvane_offline_t;" <<<"$transitions" ||
    fail "files $domain creates in the directory are not offline code files"
done
echo ok

echo "--- what the module may do there"
rules=$(sesearch -A -s zelvane_pam_domain "$work/policy.bin")
# allows TARGET:CLASS PERMISSION...: the module's domains have each of them.
allows() {
  local rule
  rule=$(grep -F " $1 " <<<"$rules" || true)
  for perm in "${@:2}"; do grep -qw "$perm" <<<"$rule" || fail "no $perm on $1"; done
}
allows http_port_t:tcp_socket name_connect
allows http_cache_port_t:tcp_socket name_connect
allows zelvane_etc_t:dir search getattr add_name remove_name write
allows zelvane_etc_t:file open read getattr
allows zelvane_offline_t:file create open read write lock setattr rename unlink
[ -z "$(sesearch -A -s sshd_t -t zelvane_etc_t -c file -p write,append,unlink,rename \
        "$work/policy.bin")" ] || fail "sshd may change the configuration"
echo ok

echo "--- file contexts"
semodule_unpackage "$pp" "$work/module.mod" "$work/file_contexts"
while read -r path type; do
  got=$(selabel_lookup -b file -f "$work/file_contexts" -k "$path")
  [[ $got == *":$type:"* ]] || fail "$path: $got, expected $type"
done <<'PATHS'
/etc/zelvane.d zelvane_etc_t
/etc/zelvane.d/pam_zelvane.conf zelvane_etc_t
/etc/zelvane.d/ca.pem zelvane_etc_t
/etc/zelvane.d/alice.offline zelvane_offline_t
/etc/zelvane.d/alice.offline.new zelvane_offline_t
/etc/zelvane.d/alice.offline.fail zelvane_offline_t
/etc/zelvane.d/alice.push zelvane_offline_t
PATHS
echo ok

echo "3 passed, 0 failed"
