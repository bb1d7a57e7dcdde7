#!/usr/bin/env bash
# The RPMs that scripts/package rpm built: the module in the PAM directory, the configuration a
# root-only conffile that an upgrade never replaces in a root-only directory, the check command,
# the man pages, and
# the SELinux subpackage with its policy module and the scriptlets that load and unload it.
# Usage: test_rpm.sh DIST_DIR
set -euo pipefail
dist=$1
fail() { echo "FAIL: $*"; exit 1; }

ls "$dist"/pam_zelvane-[0-9]*.src.rpm >/dev/null || fail "no source package"
main=$(ls "$dist"/pam_zelvane-[0-9]*.rpm | grep -v '\.src\.rpm$')
selinux=$(ls "$dist"/pam_zelvane-selinux-[0-9]*.noarch.rpm)
libdir=$(rpm --eval '%{_libdir}')

echo "--- files, modes and flags"
files=$(rpm -qp --qf '[%{FILEMODES:perms} %{FILEUSERNAME}:%{FILEGROUPNAME} %{FILEFLAGS:fflags} %{FILENAMES}\n]' \
        "$main" "$selinux")
while read -r pattern; do
  grep -Eqx -e "$pattern" <<<"$files" || fail "no file line like: $pattern"
done <<PATTERNS
drwx------ root:root  /etc/zelvane\.d
-rw------- root:root cn /etc/zelvane\.d/pam_zelvane\.conf
-rw-r--r-- root:root  $libdir/security/pam_zelvane\.so
-rw-r--r-- root:root d /usr/share/man/man8/pam_zelvane\.8(\.gz)?
-rw-r--r-- root:root d /usr/share/man/man8/zelvane-check\.8(\.gz)?
-rw-r--r-- root:root d /usr/share/man/man5/pam_zelvane\.conf\.5(\.gz)?
-rwxr-xr-x root:root  /usr/sbin/zelvane-check
-rw-r--r-- root:root  /usr/share/selinux/packages/targeted/pam_zelvane\.pp\.bz2
PATTERNS
echo ok

echo "--- the policy module is loaded on install and unloaded on erase"
scripts=$(rpm -qp --scripts "$selinux")
grep -q 'semodule .*-i /usr/share/selinux/packages/targeted/pam_zelvane\.pp\.bz2' <<<"$scripts" ||
  fail "install does not load the policy module"
grep -q 'semodule .*-r pam_zelvane' <<<"$scripts" || fail "erase does not unload the policy module"
echo ok

echo "2 passed, 0 failed"
