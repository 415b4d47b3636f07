# Guest script of the execution service's end-to-end tests: root approves a
# probe program once, then ordinary users (nobody, and uid 1000 without a
# passwd entry) start it as root through the installed qpsysexec, and a raw
# client speaks the wire format as a hostile user would.
. /root/guestlib.sh
probe=/bin/sysexecd_child
daemon_name=qpsysexec-daemo # the kernel keeps 15 characters of the name
sock=/tmp/com.velkor.qpsysexec.ipc-socket

as_user() { runas 1000 1000 "$@"; }
daemon_pid() { for p in /proc/[0-9]*; do [ "$(cat $p/comm 2>/dev/null)" = $daemon_name ] && { echo ${p#/proc/}; return; }; done; }
uptime_cs() { awk '{ split($1, t, "."); print t[1] * 100 + t[2] }' /proc/uptime; }
# wait_for <tenths> <shell condition>: polls the condition every 0.1 s.
wait_for() {
  n=$1
  while [ "$n" -gt 0 ]; do sh -c "$2" && return 0; sleep 0.1; n=$((n - 1)); done
  return 1
}
daemon_gone() { wait_for "$1" '[ -z "$(ps -o comm | grep -x '$daemon_name')" ]'; }

mkdir -p /tmp/wn /tmp/wu
chown 65534:65534 /tmp/wn
chown 1000:1000 /tmp/wu

# ---- approval as root ---------------------------------------------------------------
run qpsysexec approve $probe
if [ "$status" = 0 ] && [ -u /usr/local/bin/qpsysexec-daemon ] && [ -x /usr/local/bin/qpsysexec ]; then
  pass approve-installs-daemon
else
  fail approve-installs-daemon "status $status"
fi
qpsysexec approve /bin/true >/dev/null 2>&1

# ---- a fake daemon planted by an ordinary user before the real one -----------------
as_nobody sysexec_rawclient fake 60 >/tmp/fake.out 2>&1 &
wait_for 50 'grep -q fake=listening /tmp/fake.out'
fake=$(sed -n 's/^fake=listening pid=//p' /tmp/fake.out)
(cd /tmp/wu && as_user qpsysexec start $probe say fake-victim 0) >"$out" 2>&1 </dev/null
if grep -q FAKE-FD /tmp/fake.out; then
  fail fake-daemon-gets-no-descriptor "a descriptor reached the fake listener"
elif grep -q 'EXIT_CODE' "$out" && ! grep -q fake-victim "$out"; then
  fail fake-daemon-gets-no-descriptor "start reported an exit code it never had"
else
  pass fake-daemon-gets-no-descriptor
fi
qpsysexec sysstart >/dev/null 2>&1
wait_for 100 "[ \"\$(stat -c %u $sock)\" = 0 ]"
(cd /tmp/wu && as_user qpsysexec start $probe say taken-over 0) >"$out" 2>&1 </dev/null
if grep -q taken-over "$out" && grep -q 'EXIT_CODE 0' "$out" && ! grep -q FAKE-FD /tmp/fake.out; then
  pass real-daemon-takes-name-over
else
  fail real-daemon-takes-name-over "output: $(cat "$out" | tr '\n' ' ')"
fi
kill $fake 2>/dev/null
wait

# ---- the everyday path as nobody ------------------------------------------------------
(cd /tmp/wn && echo "hello line" | as_nobody qpsysexec start $probe report 5) >"$out" 2>&1
allowed='^env:(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin|SHELL=/bin/sh|LOGNAME=root|USER=root|HOME=/|TMPDIR=/tmp|_=/bin/sysexecd_child|PWD=/tmp/wn)$'
if grep -q '^uid=0 euid=0 gid=0 egid=0$' "$out" && grep -q '^cwd=/tmp/wn$' "$out" &&
   [ "$(grep '^env:' "$out" | grep -cvE "$allowed")" = 0 ] &&
   [ "$(grep -cE '^env:(PATH|SHELL|LOGNAME|USER|HOME|TMPDIR)=' "$out")" = 6 ] &&
   grep -q '^fds: 0 1 2$' "$out" && grep -q '^echo:hello line$' "$out" &&
   [ "$(tail -n 1 "$out")" = "EXIT_CODE 5" ]; then
  pass start-as-nobody-runs-as-root
else
  fail start-as-nobody-runs-as-root "unexpected report"
fi

# Input that ends reaches the program as its end (a copying program ends).
(cd /tmp/wn && printf 'a\nb\n' | as_nobody qpsysexec start $probe cat) >"$out" 2>&1
if [ "$(cat "$out" | tr '\n' ' ')" = "a b EXIT_CODE 0 " ]; then pass start-relays-input-end; else
  fail start-relays-input-end "output: $(cat "$out" | tr '\n' ' ')"; fi

expect start-prints-exit-code 0 'EXIT_CODE 3' sh -c "cd /tmp/wn && runas 65534 65534 qpsysexec start $probe exit 3 </dev/null"

# Output closed early, process still running: start ends 200 ms later
# without an exit code.
t0=$(uptime_cs)
(cd /tmp/wn && as_nobody qpsysexec start $probe closeout 6 </dev/null) >"$out" 2>&1
t1=$(uptime_cs)
if [ "$(cat "$out")" = closing ] && [ $((t1 - t0)) -lt 400 ]; then pass start-ends-after-output; else
  fail start-ends-after-output "took $((t1 - t0)) cs: $(cat "$out" | tr '\n' ' ')"; fi

run qpsysexec start /bin/busybox true
if [ "$status" != 0 ] && ! grep -q EXIT_CODE "$out"; then pass start-unapproved-refused; else
  fail start-unapproved-refused "status $status"; fi

# ---- the wire format, spoken by a raw client as nobody ---------------------------------
raw() { (cd /tmp/wn && as_nobody sysexec_rawclient "$@" </dev/null); }
expect raw-touch 0 'perr=0 size=0 fds=0' raw touch
for c in argc0 argc1001 argcneg noterm short smallout emptyprog nofolder; do
  expect raw-bad-$c 0 'perr=4 size=0 fds=0' raw bad $c
done
expect raw-unapproved 0 'perr=8 size=0 fds=0' raw bad unapproved
expect raw-missing-program 0 'perr=8 size=0 fds=0' raw bad missing
expect raw-unknown-code 0 'perr=3 size=0 fds=0' raw bad unknowncode

run raw start $probe exit 3
if grep -q '^perr=0 size=4 fds=1$' "$out" && grep -q '^exit=03000000$' "$out" &&
   grep -q '^after=closed$' "$out"; then pass raw-exit-status-bytes; else
  fail raw-exit-status-bytes "output: $(cat "$out" | tr '\n' ' ')"; fi

expect raw-oversize-start-closes 0 closed raw oversize 0x300000
expect raw-oversize-header-closes 0 closed raw oversize 0x7fffffff
expect raw-next-client-served 0 'perr=0 size=0 fds=0' raw touch

run raw halfopen 200 $probe exit 0
if grep -q '^exit=00000000$' "$out"; then pass raw-200-half-open-then-start; else
  fail raw-200-half-open-then-start "output: $(cat "$out" | tr '\n' ' ')"; fi
expect raw-connections-closed-at-once 0 'slammed=300' raw slam 300
expect raw-served-after-slam 0 'perr=0 size=0 fds=0' raw touch

# Requests that announce descriptors and never send them hold a transfer
# each while they last; others are served meanwhile.
stall() {
  rm -f /tmp/stall.in; mkfifo /tmp/stall.in
  (cd /tmp/wn && as_nobody sysexec_rawclient stallfd 100 $probe </tmp/stall.in) >/tmp/stall.out 2>&1 &
  exec 9>/tmp/stall.in
  wait_for 300 'grep -q stalled= /tmp/stall.out'
  "$@"
  exec 9>&-
  wait
}
stall expect raw-served-while-transfers-stall 0 'perr=0 size=0 fds=0' raw touch

# A second round of the same abuse leaves the daemon as the first left it:
# the first grows the I/O workers and the pools of idle threads and wake-up
# pipes to what it needed at once, which they keep; nothing grows per
# connection.
dpid=$(daemon_pid)
sleep 1
fds_before=$(ls /proc/$dpid/fd | wc -l)
threads_before=$(ls /proc/$dpid/task | wc -l)
raw halfopen 200 $probe exit 0 >/dev/null
raw slam 300 >/dev/null
raw oversize 0x300000 >/dev/null
stall raw touch >/dev/null
raw touch >/dev/null
sleep 1
fds_after=$(ls /proc/$dpid/fd | wc -l)
threads_after=$(ls /proc/$dpid/task | wc -l)
echo "vmtest: INFO daemon fds $fds_before -> $fds_after, threads $threads_before -> $threads_after"
if [ "$fds_after" -le "$fds_before" ] && [ "$threads_after" -le "$threads_before" ]; then
  pass daemon-leaks-no-descriptor-or-thread
else
  fail daemon-leaks-no-descriptor-or-thread "fds $fds_before -> $fds_after, threads $threads_before -> $threads_after"
fi

# One user's silent connections cannot take every descriptor the daemon
# has: with nobody holding 1100 of them (two processes, past its own limit),
# another user is still served, and nobody keeps only its share. A watched
# program keeps the daemon from idling out meanwhile.
(cd /tmp/wn && as_nobody sysexec_rawclient start $probe sleep 15 </dev/null >/dev/null 2>&1 &)
sleep 1
(cd /tmp/wn && as_nobody sysexec_rawclient holdopen 550 8 >/tmp/hold1.out 2>&1 &)
(cd /tmp/wn && as_nobody sysexec_rawclient holdopen 550 8 >/tmp/hold2.out 2>&1 &)
wait_for 50 'grep -q held= /tmp/hold1.out && grep -q held= /tmp/hold2.out'
(cd /tmp/wu && timeout 4 runas 1000 1000 sysexec_rawclient start $probe exit 0 </dev/null) >"$out" 2>&1
if grep -q '^exit=00000000$' "$out"; then pass raw-other-user-served-past-flood; else
  fail raw-other-user-served-past-flood "output: $(cat "$out" /tmp/hold1.out /tmp/hold2.out | tr '\n' ' ')"; fi
held1=$(sed -n 's/^held=//p' /tmp/hold1.out) held2=$(sed -n 's/^held=//p' /tmp/hold2.out)
held=$(( ${held1:-9999} + ${held2:-9999} ))
if [ "$held" -le 256 ]; then pass raw-flood-held-to-share; else fail raw-flood-held-to-share "held $held"; fi
wait_for 100 '[ "$(pidof sysexec_rawclient | wc -w)" -le 1 ]'

# The wire client's own descriptors reach the program, and nothing else.
(cd /tmp/wn && echo "raw line" | as_nobody sysexec_rawclient startio $probe report 4) >"$out" 2>&1
if grep -q '^uid=0 euid=0 gid=0 egid=0$' "$out" && grep -q '^fds: 0 1 2$' "$out" &&
   grep -q '^echo:raw line$' "$out" && grep -q '^exit=04000000$' "$out"; then pass raw-start-own-descriptors; else
  fail raw-start-own-descriptors "output: $(cat "$out" | tr '\n' ' ')"; fi

# The caller closing its exit-status socket stops the watch, not the program.
run raw watchclose $probe sleep 3
pid=$(sed -n 's/^pid=//p' "$out")
sleep 1
if [ -n "$pid" ] && [ -d /proc/$pid ]; then pass watch-close-keeps-program; else
  fail watch-close-keeps-program "pid '$pid' gone"; fi

# ---- the proxy command serves a connection it makes itself, as its user ------------------
(cd /tmp/wn && echo "proxy line" | as_nobody sysexec_rawclient proxied /tmp/wn/px.sock $probe report 6) >/tmp/px.out 2>&1 &
wait_for 50 'grep -q proxy=listening /tmp/px.out'
(cd /tmp/wn && as_nobody qpsysexec proxy /tmp/wn/px.sock $probe </dev/null) >"$out" 2>&1
proxy_status=$status
wait
if [ "$proxy_status" = 0 ] && grep -q '^uid=65534 euid=65534' /tmp/px.out && grep -q '^echo:proxy line$' /tmp/px.out &&
   grep -q '^exit=06000000$' /tmp/px.out; then pass proxy-serves-listed-program; else
  fail proxy-serves-listed-program "status $proxy_status: $(cat /tmp/px.out | tr '\n' ' ')"; fi
(cd /tmp/wn && as_nobody sysexec_rawclient proxied /tmp/wn/px.sock /bin/busybox true) >/tmp/px.out 2>&1 &
wait_for 50 'grep -q proxy=listening /tmp/px.out'
(cd /tmp/wn && as_nobody qpsysexec proxy /tmp/wn/px.sock $probe </dev/null) >/dev/null 2>&1
wait
if grep -q '^perr=8 ' /tmp/px.out; then pass proxy-refuses-unlisted-program; else
  fail proxy-refuses-unlisted-program "$(cat /tmp/px.out | tr '\n' ' ')"; fi
run as_nobody qpsysexec proxy
if [ "$status" != 0 ]; then pass proxy-needs-socket-name; else fail proxy-needs-socket-name "status 0"; fi

# ---- twenty starts at once from two users ------------------------------------------------
# A watched program keeps the daemon busy meanwhile: twenty programs loading
# at once under emulation may take longer than the idle time, and a daemon
# starting up under that load longer than a client waits for it.
(cd /tmp/wn && as_nobody sysexec_rawclient start $probe sleep 30) >/tmp/keeper.out 2>&1 &
wait_for 100 'grep -q ^pid= /tmp/keeper.out'
keeper=$(sed -n 's/^pid=//p' /tmp/keeper.out)
pids=""
i=0
while [ $i -lt 20 ]; do
  if [ $((i % 2)) = 0 ]; then who=as_nobody dir=/tmp/wn; else who=as_user dir=/tmp/wu; fi
  (cd $dir && $who qpsysexec start $probe sayhold token-$i $((i + 10)) </dev/null) >/tmp/conc.$i 2>&1 &
  pids="$pids $!"
  i=$((i + 1))
done
wait $pids
bad=""
i=0
while [ $i -lt 20 ]; do
  [ "$(cat /tmp/conc.$i | tr '\n' ' ')" = "token-$i EXIT_CODE $((i + 10)) " ] || bad="$bad $i"
  i=$((i + 1))
done
if [ -z "$bad" ]; then pass twenty-concurrent-starts; else
  for i in $bad; do sed "s/^/vmtest: INFO $i: /" /tmp/conc.$i; done
  ps | grep -v ' \[' | sed 's/^/vmtest: INFO /'
  ls -li /tmp | grep velkor | sed 's/^/vmtest: INFO /'
  { raw touch; raw start $probe exit 0; } 2>&1 | sed 's/^/vmtest: INFO raw after: /'
  fail twenty-concurrent-starts "runs$bad"; fi
[ -n "$keeper" ] && kill $keeper
wait

# ---- silent connections end after their lifetime ------------------------------------------
# A watched program keeps the daemon from idling out meanwhile.
(cd /tmp/wn && as_nobody sysexec_rawclient start $probe sleep 60) >/tmp/keeper.out 2>&1 &
wait_for 100 'grep -q ^pid= /tmp/keeper.out'
keeper=$(sed -n 's/^pid=//p' /tmp/keeper.out)
t0=$(uptime_cs)
run raw stallfd 10 $probe 50
t1=$(uptime_cs)
if grep -q '^hungup=10$' "$out" && [ $((t1 - t0)) -ge 2500 ]; then pass silent-connections-end-after-lifetime; else
  fail silent-connections-end-after-lifetime "after $((t1 - t0)) cs: $(cat "$out" | tr '\n' ' ')"; fi
[ -n "$keeper" ] && kill $keeper
wait

# ---- sysstop stops a busy daemon at once --------------------------------------------------
(cd /tmp/wn && as_nobody sysexec_rawclient start $probe sleep 20) >/tmp/busy.out 2>&1 &
wait_for 100 'grep -q ^pid= /tmp/busy.out'
sleeper=$(sed -n 's/^pid=//p' /tmp/busy.out)
qpsysexec sysstop >"$out" 2>&1
if daemon_gone 20 && [ -n "$sleeper" ] && [ -d /proc/$sleeper ]; then pass sysstop-stops-busy-daemon; else
  fail sysstop-stops-busy-daemon "daemon $(daemon_pid), program '$sleeper'"; fi
[ -n "$sleeper" ] && kill $sleeper 2>/dev/null
wait

# ---- the idle rule ---------------------------------------------------------------------------
qpsysexec sysstart >/dev/null 2>&1
wait_for 50 "[ -S $sock ]" && raw touch >/dev/null
sleep 4
alive_at_4=$(daemon_pid)
if [ -n "$alive_at_4" ] && daemon_gone 80; then pass idle-daemon-exits-after-5s; else
  fail idle-daemon-exits-after-5s "alive at 4 s: '$alive_at_4', now '$(daemon_pid)'"; fi

exit 0
