#!/usr/bin/env bash
# `cmake --install` into a staging root: the module lands in the PAM module directory, the check
# command in sbin, the three man pages in their sections, the configuration directory is 0700, the sample configuration is installed once and an existing
# configuration (and the directory's mode) is never overwritten.
# Usage: test_install.sh BUILD_DIR PAM_MODULE_DIR
set -euo pipefail
build=$1
moddir=$2
stage=$(mktemp -d /tmp/zv-install.XXXXXX)
trap 'rm -rf "$stage"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

DESTDIR="$stage" cmake --install "$build" >/dev/null
[ -f "$stage$moddir/pam_zelvane.so" ] || fail "module not in $moddir"
[ "$(stat -c %a "$stage/etc/zelvane.d")" = 700 ] || fail "configuration directory is not 0700"
conf="$stage/etc/zelvane.d/pam_zelvane.conf"
[ -f "$conf" ] || fail "no sample configuration installed"
[ "$(stat -c %a "$conf")" = 600 ] || fail "configuration is not 0600"
grep -q '^#' "$conf" || fail "sample configuration is not commented"
grep -v -E '^(#|$)' "$conf" && fail "sample configuration sets options"
for page in man8/pam_zelvane.8 man5/pam_zelvane.conf.5 man8/zelvane-check.8; do
  find "$stage" -path "*/$page" | grep -q . || fail "man page $page not installed"
done
find "$stage" -path '*/sbin/zelvane-check' -perm -0100 | grep -q . || fail "zelvane-check not in sbin"

echo "host=mine.example" >"$conf"
chmod 0750 "$stage/etc/zelvane.d"
DESTDIR="$stage" cmake --install "$build" >/dev/null
[ "$(cat "$conf")" = "host=mine.example" ] || fail "existing configuration overwritten"
[ "$(stat -c %a "$stage/etc/zelvane.d")" = 750 ] || fail "the administrator's directory mode was changed"
echo "1 passed, 0 failed"
