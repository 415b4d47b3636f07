#!/usr/bin/env bash
# Approval and revocation through the service program, with stand-ins for
# it: approve runs "qpsysexec" beside the calling program, revoke the
# installed /usr/local/bin/qpsysexec. Runs inside a private mount namespace
# where /usr/local/bin is a scratch folder.
#   qpinst_approve_test.sh <qpinst_probe> <scratch folder>
set -uo pipefail
# Runs itself again in a private mount namespace; skipped (77) without root.
if [ -z "${QPINST_IN_NAMESPACE:-}" ]; then
  [ "$(id -u)" = 0 ] || { echo "skipped: needs root for a private mount namespace"; exit 77; }
  QPINST_IN_NAMESPACE=1 exec unshare -m "$0" "$@"
fi
probe=$1 scratch=$2
pass=0 fail=0
check() { # name, condition...
  local name=$1; shift
  if "$@"; then pass=$((pass + 1)); else fail=$((fail + 1)); echo "FAIL: $name"; fi
}
contains() { grep -qF -- "$2" <<<"$1"; }

mount --make-rprivate / || { echo "no private mount namespace"; echo "0 passed, 1 failed"; exit 1; }
rm -rf "$scratch"; mkdir -p "$scratch/bin" "$scratch/local"
cp "$probe" "$scratch/bin/qpinst_probe"
standin() { # file, log
  printf '#!/bin/sh\necho "$*" >> %s\necho "stand-in $1"\nexit ${STANDIN_EXIT:-0}\n' "$2" > "$1"
  chmod 755 "$1"
}
standin "$scratch/bin/qpsysexec" "$scratch/approve.log"
# The probe's texts; a leak or crash at its exit shows as a last line.
probe() { "$scratch/bin/qpinst_probe" "$@" 2>&1 || echo "probe exit $?"; }
mount --bind "$scratch/local" /usr/local/bin
standin /usr/local/bin/qpsysexec "$scratch/revoke.log"

out=$(probe approve /opt/x trstart)
check "approve prints and runs" [ "$out" = $'Approve privileged execution "/opt/x/trstart"\nstand-in approve\nerr=0' ]
check "approve arguments" [ "$(cat "$scratch/approve.log")" = "approve /opt/x/trstart" ]

out=$(STANDIN_EXIT=1 probe approve /opt/x trstart)
check "approve failure" contains "$out" "ERROR: Unable to run \"$scratch/bin/qpsysexec\""
check "approve failure is 999" contains "$out" "err=999"

out=$(STANDIN_EXIT=1 probe revoke /opt/x trstart)
check "revoke ignores the outcome" [ "$out" = $'stand-in revoke\nerr=0' ]
check "revoke arguments" [ "$(cat "$scratch/revoke.log")" = "revoke /opt/x/trstart" ]

rm /usr/local/bin/qpsysexec
out=$(probe revoke /opt/x trstart)
check "revoke without a service" [ "$out" = "err=0" ]

echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
