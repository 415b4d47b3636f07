# Guest script: the execution service's set-user-id behaviour with a real
# ordinary user (nobody) against the installed daemon copy: arguments other
# than "daemon" run nothing, an empty argument vector runs nothing, and a
# daemon started with a hostile environment, descriptors, umask, folder,
# signals and limits runs clean as root; sysstart, the sync wait, sysstop
# and the idle end.
. /root/guestlib.sh

key=/etc/com.velkor.qpsysexec
daemon=/usr/local/bin/qpsysexec-daemon
signal_socket=/tmp/com.velkor.qpsysexec.signal-socket
printf '#!/bin/sh\nexit 0\n' >/root/tool
chmod 755 /root /root/tool
cp -p /root/tool /root/other

# verify <name> <condition evaluated in this shell>
verify() { if eval "$2"; then pass "$1"; else fail "$1" "$2"; fi; }
# The pid of the running daemon copy, empty when none.
daemon_pid() { pidof qpsysexec-daemon | cut -d' ' -f1; }
# Waits up to $1 seconds for the daemon to be gone / the signal socket to be there.
wait_gone() {
  n=0
  while [ -n "$(daemon_pid)" ] && [ $n -lt $(($1 * 10)) ]; do sleep 0.1; n=$((n + 1)); done
  [ -z "$(daemon_pid)" ]
}
wait_listening() {
  n=0
  while [ ! -S $signal_socket ] && [ $n -lt $(($1 * 10)) ]; do sleep 0.1; n=$((n + 1)); done
  [ -S $signal_socket ]
}
approvals() { ls "$key" 2>/dev/null | grep -ci '^approval\.'; }
status_field() { grep "^$2:" /proc/$1/status | tr -s ' \t' ' ' | cut -d' ' -f2-; }

expect sysstart_not_enabled 8 "ERROR: qpsysexec daemon is not enabled, no commands are approved." \
  as_nobody /bin/qpsysexec sysstart

succeeds approve_as_root qpsysexec approve /root/tool
verify daemon_copy_setuid_root '[ "$(stat -c "%a %u %g" $daemon)" = "4755 0 0" ]'
verify plain_copy '[ "$(stat -c "%a %u" /usr/local/bin/qpsysexec)" = "755 0" ]'

# Any command line but "daemon" runs nothing as root.
run as_nobody $daemon approve /root/other
verify setuid_approve_runs_nothing '[ $status = 0 ] && grep -q "Setup/Daemon Isolated Execution Service" $out && [ $(approvals) = 1 ] && ! grep -rq other $key'
run as_nobody $daemon revoke /root/tool
verify setuid_revoke_runs_nothing '[ $status = 0 ] && grep -q /root/tool $key/* && [ -x $daemon ]'
run as_nobody $daemon daemon extra
verify setuid_daemon_with_more_args_runs_nothing '[ $status = 0 ] && grep -q "Version 23X" $out && [ -z "$(daemon_pid)" ]'
run as_nobody sysexec_probe empty $daemon
verify setuid_empty_argv_prints_banner '[ $status = 0 ] && grep -q "Setup/Daemon Isolated Execution Service" $out && [ $(approvals) = 1 ]'
run as_nobody sysexec_probe hostile $daemon list
verify setuid_hostile_list_runs_nothing '[ $status = 0 ] && ! grep -q /root/tool $out'

# The daemon started by nobody with everything hostile runs clean.
as_nobody sysexec_probe hostile $daemon daemon >/dev/null 2>&1 &
wait_listening 10
pid=$(daemon_pid)
if [ -z "$pid" ]; then
  fail hostile_daemon_runs "no daemon process"
else
  pass hostile_daemon_runs
  tr '\0' '\n' </proc/$pid/environ | sort >$out
  verify hostile_daemon_six_variables '[ "$(cat $out)" = "$(printf "%s\n" HOME=/ LOGNAME=root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin SHELL=/bin/sh TMPDIR=/tmp USER=root)" ]'
  : >$out
  verify hostile_daemon_ids_root '[ "$(status_field $pid Uid)" = "0 0 0 0" ] && [ "$(status_field $pid Gid)" = "0 0 0 0" ]'
  verify hostile_daemon_no_groups '[ -z "$(status_field $pid Groups)" ]'
  verify hostile_daemon_umask_002 '[ "$(status_field $pid Umask)" = 0002 ]'
  verify hostile_daemon_sigterm_not_ignored '[ $((0x$(status_field $pid SigIgn) & 0x4000)) = 0 ]'
  verify hostile_daemon_sigint_not_blocked '[ $((0x$(status_field $pid SigBlk) & 0x2)) = 0 ]'
  verify hostile_daemon_folder_root '[ "$(readlink /proc/$pid/cwd)" = / ]'
  # Programs started for others inherit the daemon's scheduling class.
  verify hostile_daemon_normal_scheduling '[ "$(cut -d" " -f41 /proc/$pid/stat)" = 0 ]'
  verify hostile_daemon_file_size_unlimited 'grep "^Max file size" /proc/$pid/limits | grep -q unlimited'
  ls -l /proc/$pid/fd >$out 2>&1
  verify hostile_daemon_std_pipes 'for fd in 0 1 2; do readlink /proc/$pid/fd/$fd | grep -q "^pipe:" || return 1; done'
  # Anything past 2 is a socket, a pipe or a lock file of its own, never
  # one of the caller's descriptors (its pipe, /etc/passwd, /dev/null).
  own_only() {
    caller_pipe=$(cat /tmp/sysexec_probe.pipe)
    for f in /proc/$pid/fd/*; do
      target=$(readlink $f)
      [ "$target" != "$caller_pipe" ] || return 1
      case $target in pipe:*|socket:*|/tmp/com.velkor.*) ;; *) return 1 ;; esac
    done
  }
  verify hostile_daemon_no_caller_fds own_only
  # The caller's interval timer (due 2 s after the start) does not end it.
  sleep 2
  verify hostile_daemon_outlives_caller_timer '[ "$(daemon_pid)" = "$pid" ]'
  run as_nobody /bin/qpsysexec sysstop
  verify sysstop_as_nobody_refused '[ $status != 0 ] && grep -q "Sending stop signal to daemon" $out && [ -n "$(daemon_pid)" ]'
  expect sysstop_as_root 0 "" qpsysexec sysstop
  verify daemon_stops_on_signal 'wait_gone 10'
fi

# sysstart from an ordinary user returns at once; the daemon runs as root in
# a session of its own.
expect sysstart_as_nobody 0 "" as_nobody /usr/local/bin/qpsysexec sysstart
wait_listening 10
pid=$(daemon_pid)
verify sysstart_daemon_root '[ -n "$pid" ] && [ "$(status_field $pid Uid)" = "0 0 0 0" ]'
verify sysstart_daemon_own_session '[ -n "$pid" ] && [ "$(cut -d" " -f6 /proc/$pid/stat)" = "$pid" ]'
qpsysexec sysstop >/dev/null 2>&1
verify sysstart_daemon_stopped 'wait_gone 10'

# The daemon waits for its starter before it serves: no signal socket while
# the sync pipe's write end is held open, then it listens.
as_nobody sysexec_probe hold 4 $daemon daemon >/dev/null 2>&1 &
sleep 2
verify sync_wait_daemon_waits '[ -n "$(daemon_pid)" ] && [ ! -e $signal_socket ]'
verify sync_wait_then_serves 'wait_listening 10'
qpsysexec sysstop >/dev/null 2>&1
verify sync_daemon_stopped 'wait_gone 10'

# Terminal signals reach a process group whatever its ids: a daemon run as
# the leader of a session with a terminal of the caller's must leave that
# session, or ^C typed there (and the hang-up) would end it.
mkdir -p /dev/pts && { mountpoint -q /dev/pts || mount -t devpts devpts /dev/pts; }
as_nobody sysexec_probe tty 1 $daemon daemon >/dev/null 2>&1 &
verify tty_daemon_listens 'wait_listening 10'
sleep 2.5
verify tty_daemon_outlives_interrupt_and_hangup '[ -n "$(daemon_pid)" ]'
expect tty_daemon_stops 0 "" qpsysexec sysstop
verify tty_daemon_stopped 'wait_gone 10'

# A hard link to the daemon copy in a folder of the caller's (possible where
# the kernel does not protect hard links, its own default): while the daemon
# waits for the sync byte, the caller removes the link, so that the kernel
# names the running file "<link> (deleted)", and plants a program of its own
# under that name. Starting itself again, the daemon must run its own file,
# not whatever its name now is.
echo 0 >/proc/sys/fs/protected_hardlinks
mkdir -p /var/trap && chown 65534:65534 /var/trap && chmod 755 /var /var/trap
rm -f /var/trap/owned
if as_nobody ln $daemon /var/trap/d 2>/dev/null; then
  as_nobody sysexec_probe hold 3 /var/trap/d daemon >/dev/null 2>&1 &
  sleep 1
  as_nobody sh -c 'rm -f /var/trap/d && printf "#!/bin/sh\nid -u >/var/trap/owned\n" >"/var/trap/d (deleted)" && chmod 755 "/var/trap/d (deleted)"'
  verify relinked_daemon_serves 'wait_listening 10'
  verify relinked_daemon_runs_no_planted_program '[ ! -e /var/trap/owned ]'
  qpsysexec sysstop >/dev/null 2>&1
  verify relinked_daemon_stopped 'wait_gone 10'
else
  fail relinked_daemon_serves "no hard link to $daemon from /var/trap"
fi
rm -rf /var/trap

# An idle daemon ends by itself.
qpsysexec sysstart >/dev/null 2>&1
verify idle_daemon_started 'wait_listening 10'
verify idle_daemon_ends 'wait_gone 20'

# Revoking the last approval removes both copies.
expect revoke_last 0 "" qpsysexec revoke /root/tool
verify unregistered '[ ! -e $daemon ] && [ ! -e /usr/local/bin/qpsysexec ]'
exit 0
