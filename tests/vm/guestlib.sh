# Helpers of the guest scripts (sourced from /root; vmrun.sh puts it there
# for every VM test). Every check prints one vmtest line.
pass() { echo "vmtest: PASS $1"; }
fail() { echo "vmtest: FAIL $1: $2"; }
# check <name> <command...>: passes when the command succeeds.
check() {
  name=$1; shift
  if "$@" >/tmp/check.out 2>&1; then pass "$name"; else
    sed 's/^/vmtest: INFO /' /tmp/check.out | tail -n 40
    fail "$name" "$*"
  fi
}
logged() { dmesg | grep -q -- "$1"; }
absent() { ! "$@"; }
