# Helpers for guest test scripts (busybox sh), at /root/guestlib.sh in every
# guest: `. /root/guestlib.sh`. Each check prints one vmtest line; a failed
# one also the tail of its output.
out=/tmp/guest.out

pass() { echo "vmtest: PASS $1"; }
fail() {
  [ -s "$out" ] && tail -n 30 "$out" | sed 's/^/vmtest: INFO /'
  echo "vmtest: FAIL $1: $2"
}
# run <command...>: output (standard output and error) in $out, status in $status.
run() { "$@" >"$out" 2>&1; status=$?; }
# expect <name> <status> <exact output> <command...>
expect() {
  name=$1 want_status=$2 want=$3; shift 3
  run "$@"
  if [ "$status" = "$want_status" ] && [ "$(cat "$out")" = "$want" ]; then pass "$name"; else
    fail "$name" "status $status (want $want_status) of $*"
  fi
}
# succeeds <name> <command...>: passes when the command exits with 0.
succeeds() {
  name=$1; shift
  run "$@"
  if [ "$status" = 0 ]; then pass "$name"; else fail "$name" "status $status of $*"; fi
}
# holds <name> <shell condition>: $out is left as it is for later checks.
holds() { if sh -c "$2"; then pass "$1"; else echo "vmtest: FAIL $1: $2"; fi; }
# as_nobody <command...>: runs the command as user nobody.
as_nobody() { runas 65534 65534 "$@"; }
