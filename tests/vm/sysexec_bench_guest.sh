# Guest script of the execution service's figures, all in one boot: the time
# of `qpsysexec start /bin/true` by an ordinary user (daemon running) against
# /bin/true itself and against busybox su running it as root, and the
# daemon's resident memory after 10, 1,000 and 2,000 starts.
. /root/guestlib.sh
rounds=40
sock=/tmp/com.velkor.qpsysexec.ipc-socket
mkdir -p /tmp/wn && chown 65534:65534 /tmp/wn && cd /tmp/wn

uptime_cs() { awk '{ split($1, t, "."); print t[1] * 100 + t[2] }' /proc/uptime; }
# timed <command...>: centiseconds for $rounds runs.
timed() {
  t0=$(uptime_cs); i=0
  while [ $i -lt $rounds ]; do "$@" </dev/null >/dev/null 2>&1; i=$((i + 1)); done
  echo $(($(uptime_cs) - t0))
}
daemon_rss() {
  pid=$(ps -o pid,comm | awk '$2 == "qpsysexec-daemo" { print $1; exit }')
  awk '/^VmRSS/ { print $2 }' /proc/$pid/status
}
raw_starts() {
  i=0
  while [ $i -lt $1 ]; do as_nobody sysexec_rawclient start /bin/true >/dev/null 2>&1; i=$((i + 1)); done
}

qpsysexec approve /bin/true >/dev/null 2>&1
qpsysexec sysstart >/dev/null 2>&1
while [ ! -S $sock ]; do sleep 0.1; done
as_nobody qpsysexec start /bin/true >/dev/null 2>&1 </dev/null

direct=$(timed /bin/true)
service=$(timed as_nobody qpsysexec start /bin/true)
su_run=$(timed su root -c /bin/true)
echo "vmtest: INFO bench $rounds runs (cs): direct $direct, qpsysexec start $service, su -c $su_run"
[ "$direct" -gt 0 ] || direct=1
[ "$su_run" -gt 0 ] || su_run=1
echo "vmtest: INFO bench ratio start/direct $((service * 100 / direct))/100, start/su $((service * 100 / su_run))/100"
if as_nobody qpsysexec start /bin/true </dev/null | grep -q 'EXIT_CODE 0'; then pass bench-start-works; else
  fail bench-start-works "qpsysexec start /bin/true"; fi

# Memory: after 10, 1000, 2000 and 3000 starts. Growth per start shows in
# every thousand; a one-off step (a pooled thread's or the allocator's first
# use of more memory) in one thousand only. More than one growing thousand,
# or more than 1 MiB in all, fails.
daemon_pid=$(ps -o pid,comm | awk '$2 == "qpsysexec-daemo" { print $1; exit }')
raw_starts 10
rss10=$(daemon_rss)
raw_starts 990
rss1000=$(daemon_rss)
raw_starts 1000
rss2000=$(daemon_rss)
raw_starts 1000
rss3000=$(daemon_rss)
threads=$(ls /proc/$daemon_pid/task | wc -l)
echo "vmtest: INFO bench daemon VmRSS after 10, 1000, 2000, 3000 starts: $rss10 $rss1000 $rss2000 $rss3000 kB ($threads threads, $(ls /proc/$daemon_pid/fd | wc -l) descriptors)"
grew=0
previous=$rss10
for now in $rss1000 $rss2000 $rss3000; do
  [ "$now" -le $((previous + 64)) ] || grew=$((grew + 1))
  previous=$now
done
if [ -n "$rss3000" ] && [ $grew -le 1 ] && [ "$rss3000" -le $((rss10 + 1024)) ]; then
  pass daemon-memory-does-not-grow
else
  fail daemon-memory-does-not-grow "VmRSS $rss10 $rss1000 $rss2000 $rss3000 kB after 10, 1000, 2000, 3000 starts"
fi
qpsysexec sysstop >/dev/null 2>&1
exit 0
