#!/bin/bash
# The do-it-yourself two-factor check that bench_login measures against the module: run by
# pam_exec, it asks the authentication server to validate the password and then the one-time
# code, with one curl request each, the same JSON bodies the module sends, and lets the login
# through only when both answers carry errorCode 0.
#
#   auth required pam_exec.so expose_authtok quiet /path/to/diy_login.sh URL CA_FILE
#
# pam_exec's only prompt is for a password, so the user answers "password,code": the code is
# what follows the last comma (a password may itself hold commas). pam_exec writes the answer
# to standard input, NUL-terminated, and names the user in PAM_USER.
set -u
# pam_exec passes the PAM environment only, without PATH.
PATH=/usr/bin:/bin

[ $# -eq 2 ] || exit 1
url=$1 ca=$2
user=${PAM_USER:-}
answer=""
IFS= read -r -d '' answer || [ -n "$answer" ] || exit 1

case $answer in
*,*) ;;
*) exit 1 ;;
esac
password=${answer%,*} code=${answer##*,}
unset answer
[[ $code =~ ^[0-9]{3,10}$ ]] || exit 1
[ -n "$user" ] || exit 1

# Sets REPLY to $1 as a JSON string. Control characters would need \u escapes; they are refused
# instead, since no user name or password here carries one. No subshell: a fork per field would
# be most of this script's cost.
json_string() {
  local s=$1
  [[ $s == *[[:cntrl:]]* ]] && return 1
  s=${s//\\/\\\\}
  s=${s//\"/\\\"}
  REPLY="\"$s\""
}

# Posts the body (on standard input, so that no password shows in the process list) and
# succeeds when the server accepted it.
post() {
  local reply
  reply=$(curl -sS --fail --proto =https --max-time 10 --cacert "$ca" \
    -H 'Content-Type: application/json' -H 'Accept: application/json' \
    --data-binary @- "$url" <<<"$1") || return 1
  [[ $reply =~ \"errorCode\"[[:space:]]*:[[:space:]]*0[[:space:]]*[,}] ]]
}

json_string "$user" || exit 1
user_json=$REPLY
json_string "$password" || exit 1
printf -v body '{\n  "type": "validate_user",\n  "username": %s,\n  "pw": %s\n}' \
  "$user_json" "$REPLY"
unset password REPLY
post "$body" || exit 1
printf -v body '{\n  "type": "validate_oath_otp",\n  "username": %s,\n  "otp": "%s"\n}' \
  "$user_json" "$code"
post "$body"
