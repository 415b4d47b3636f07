# Guest script of the trace command's tests (run by the VM's init from
# /root): installs libqptrace1.so at its fixed path, loads the driver and
# checks every command's output and status on channels of known content,
# follow against a writer faster than the ring and a slow one, the speed
# of follow and its idle CPU use, and the error once the driver is gone.
# Each check prints one vmtest line; a failed one also its output.
. /root/guestlib.sh
out=/tmp/trcmd.out
stamp='[0-9]{6}\.[0-9]{6} '

# expect_re <name> <status> <line regex, whole output> <command...>
expect_re() {
  name=$1 want_status=$2 re=$3; shift 3
  run "$@"
  if [ "$status" = "$want_status" ] && [ "$(grep -Ecv -- "$re" "$out")" = 0 ] && [ -s "$out" ]; then
    pass "$name"; else fail "$name" "status $status or a line not matching $re"
  fi
}
# check <name> <shell condition>
check() { if sh -c "$2"; then pass "$1"; else fail "$1" "$2"; fi; }
info_field() { trcmd info "$1" | sed -n "s/^$2: \([0-9]*\).*/\1/p"; }
# follow_start <file> <args...>: follow in the background into file.
follow_start() { f=$1; shift; trcmd follow "$@" >"$f" 2>&1 & follower=$!; }
# follow_stop <signal>: ends the follower; its status in $status.
follow_stop() { kill -"$1" "$follower"; wait "$follower"; status=$?; }
# Waits until file has n lines, or its count stood still for 2 s, or s
# seconds passed; grew_at is the uptime (1/100 s) when it last grew.
wait_lines() {
  i=0 still=0 last=-1
  while [ $i -lt $(($3 * 10)) ] && [ $still -lt 20 ]; do
    now=$(wc -l <"$1")
    if [ "$now" = "$last" ]; then still=$((still + 1)); else still=0 grew_at=$(uptime_cs); fi
    [ "$now" -ge "$2" ] && return 0
    last=$now
    sleep 0.1; i=$((i + 1))
  done
}
lost_sum() { sed -n 's/^NOTE: \([0-9]*\) lines lost.*/\1/p' "$1" | awk '{s += $1} END {print s + 0}'; }
uptime_cs() { awk '{printf "%d", $1 * 100}' /proc/uptime; }

mkdir -p /usr/local/lib
cp /root/libqptrace1.so /usr/local/lib/libqptrace1.so
no_driver="ERROR: The trace driver is not reachable. Start it with: trstart sysstart"
expect before-load-no-driver 1 "$no_driver" trcmd list
insmod /root/qptrace.ko || echo "vmtest: FAIL load: insmod"

# ---- channels of known content ------------------------------------------------
expect print-creates 0 "" trcmd print Alpha hello   world
expect_re show-stamped 0 "^${stamp}(hello world)?\$" trcmd show alpha
check show-two-lines "[ \$(wc -l <$out) = 2 ] && tail -n 1 $out | grep -q ' hello world\$'"
expect_re show-numbered 0 "^[01] ${stamp}" trcmd show -l ALPHA
run trcmd show 2; cp "$out" /tmp/by-number
run trcmd show alpha; check number-for-name "cmp -s /tmp/by-number $out"
expect info-fresh 0 "Channel: Alpha (number 2)
Oldest line: 0
Newest line: 2
Line in progress: 0 characters" trcmd info alpha
# A line in progress: the writer's first piece, "w 1 ", for 3 s.
trcmd_writer partial 1 3000000 0 split >/dev/null &
writer=$!
sleep 0.5
expect info-in-progress 0 "Channel: partial (number 3)
Oldest line: 0
Newest line: 1
Line in progress: 4 characters" trcmd info partial
expect_re show-without-line-in-progress 0 "^${stamp}\$" trcmd show partial
expect list-columns 0 "No.  Channel  Oldest  Newest
  1  traces        0       1
  2  Alpha         0       2
  3  partial       0       1" trcmd list
wait $writer

# A channel whose ring wrapped by bytes (lines of 100 bytes) and one whose
# index filled (short lines).
trcmd_writer bytes 5000 0 90 >/dev/null
trcmd_writer index 9000 >/dev/null
bytes_start=$(info_field bytes "Oldest line")
bytes_end=$(info_field bytes "Newest line")
check ring-wrapped "[ $bytes_start -gt 0 ] && [ $bytes_end = 5001 ]"
run trcmd show bytes
check show-wrapped-count "[ \$(wc -l <$out) = $((bytes_end - bytes_start)) ]"
check show-wrapped-first "head -n 1 $out | grep -Eq '^${stamp}w ${bytes_start}x+\$'"
check show-wrapped-last "tail -n 1 $out | grep -Eq '^${stamp}w 5000x+\$'"
index_start=$(info_field index "Oldest line")
check index-full "[ $index_start = $((9001 - 8191)) ]"
expect_re show-range 0 "^${stamp}w (9000|8999|8998)\$" trcmd show index 8998 5
expect_re show-count 0 "^${stamp}w 900[0-2]\$" trcmd show index 9000 1
expect show-not-held 0 "NOTE: Lines 0 to $((index_start - 1)) of channel index are no longer held." \
  trcmd show index 0 "$index_start"
expect show-beyond 0 "NOTE: Channel index has no complete line from line 9001 on (it holds lines $index_start to 9000)." \
  trcmd show index 9001
expect show-far-beyond 0 "NOTE: Channel index has no complete line from line 20000 on (it holds lines $index_start to 9000)." \
  trcmd show index 20000
expect show-count-zero 0 "" trcmd show index 9000 0

# Output that cannot be written fails the command.
expect show-output-full 1 "" sh -c 'trcmd show index 2>/dev/null >/dev/full'

# Reset: the oldest line is the bare reset stamp.
expect reset 0 "" trcmd reset alpha
expect_re show-after-reset 0 "^${stamp}\$" trcmd show alpha
check reset-one-line "[ \$(wc -l <$out) = 1 ]"
check info-after-reset "[ $(info_field alpha 'Oldest line') = 2 ] && [ $(info_field alpha 'Newest line') = 3 ]"

# Unknown channels and numbers never create a channel.
channels_before=$(trcmd list | wc -l)
for cmd in "show" "info" "reset" "follow"; do
  expect "unknown-$cmd" 1 "ERROR: There is no trace channel \"nosuch\". See: trcmd list" trcmd $cmd nosuch
done
expect unknown-number 1 "ERROR: There is no trace channel \"42\". See: trcmd list" trcmd print 42 text
check nothing-created "[ \$(trcmd list | wc -l) = $channels_before ]"
expect bad-first 1 "ERROR: \"1x\" is not a number." trcmd show index 1x
run trcmd show -q index 9000 1 extra
check warnings-then-lines "[ \"\$(head -n 2 $out)\" = 'WARNING: Unknown switch \"-q\" ignored.
WARNING: Surplus argument \"extra\" ignored.' ] && tail -n 1 $out | grep -Eq '^${stamp}w 9000\$' && [ \$(wc -l <$out) = 3 ]"

# ---- follow ---------------------------------------------------------------------
# Several channels: prefixed, the last line only with -t 1, ended by SIGINT.
follow_start /tmp/two -t 1 index Alpha
sleep 1
trcmd print alpha after follow
wait_lines /tmp/two 3 10
follow_stop INT
check follow-sigint-status-0 "[ $status = 0 ]"
check follow-prefixed "grep -Eq '^\[index\] ${stamp}w 9000\$' /tmp/two && grep -Eq '^\[Alpha\] ${stamp}after follow\$' /tmp/two && [ \$(wc -l </tmp/two) = 3 ]"

# A slow writer whose lines come in two pieces: each line appears once, in
# order and whole, never while in progress. SIGTERM ends follow with 0.
trcmd_writer slow 0 >/dev/null
follow_start /tmp/slow -l slow
trcmd_writer slow 20 30000 0 split >/dev/null
wait_lines /tmp/slow 21 10
follow_stop TERM
check follow-sigterm-status-0 "[ $status = 0 ]"
check slow-writer-whole-lines "[ \$(grep -Ec '^[0-9]+ ${stamp}w [0-9]+ end\$' /tmp/slow) = 20 ]"
check slow-writer-in-order "grep -Eo 'w [0-9]+ end' /tmp/slow | awk '{ if (\$2 != NR) bad = 1 } END { exit bad }'"

# A writer faster than the ring while follow is held stopped: the lost lines
# are counted, and printed + lost = every line number up to the newest.
trcmd_writer lossy 0 >/dev/null
follow_start /tmp/lossy lossy
sleep 1
kill -STOP "$follower"
trcmd_writer lossy 30000 >/dev/null
kill -CONT "$follower"
wait_lines /tmp/lossy 8000 20
sleep 1
follow_stop INT
lossy_end=$(info_field lossy "Newest line")
lossy_lost=$(lost_sum /tmp/lossy)
lossy_printed=$(grep -vc '^NOTE: ' /tmp/lossy)
check lossy-note-appears "[ $lossy_lost -gt 0 ]"
check lossy-counts-add-up "[ $((lossy_printed + lossy_lost)) = $lossy_end ]"
check lossy-in-order "grep -Eo 'w [0-9]+\$' /tmp/lossy | awk '{ if (\$2 <= last) bad = 1; last = \$2 } END { exit bad }'"

# ---- performance ---------------------------------------------------------------
# follow against one writer printing short lines as fast as it can, one
# raw print request per line. speed_run <channel>: one run, its figures in
# speed_lost and speed_printed.
n=100000
speed_run() {
  trcmd_writer "$1" 0 >/dev/null
  follow_start "/tmp/$1" "$1"
  sleep 1
  begin=$(uptime_cs)
  trcmd_writer "$1" $n 0 0 raw >/tmp/writer.out
  wait_lines "/tmp/$1" $((n + 1)) 60
  caught=$grew_at
  follow_stop INT
  writer_us=$(sed -n 's/^writer: [0-9]* lines in \([0-9]*\) us$/\1/p' /tmp/writer.out)
  speed_lost=$(lost_sum "/tmp/$1")
  speed_printed=$(grep -vc '^NOTE: ' "/tmp/$1")
  echo "vmtest: INFO follow speed: writer $n lines in $writer_us us ($((n * 1000 / (writer_us / 1000 + 1))) lines/s); follow printed $speed_printed lines until $(((caught - begin) * 10)) ms after the writer started ($((speed_printed * 100 / (caught - begin + 1))) lines/s, sampled every 100 ms); lost $speed_lost"
  check "$1-counts-add-up" "[ $((speed_printed + speed_lost)) = $(info_field "$1" 'Newest line') ]"
}
speed_run speed
# The VM's CPUs are threads of a shared host: a reader starved of its CPU
# for as long as the writer needs to fill the ring (a few hundred ms) loses
# lines through no fault of its own. One more run tells that from a reader
# that cannot keep up, which loses lines every time.
if [ "$speed_lost" != 0 ]; then
  echo "vmtest: NOTE follow lost $speed_lost lines; once more on a fresh channel"
  speed_run speed2
fi
check follow-keeps-up "[ $speed_lost = 0 ] && [ $speed_printed = $((n + 1)) ]"

# The reader and the writer alone, per line, program starts taken off: five
# shows of the full channel (5 x 8,191 lines) against as many lines written.
per_line_ns() { echo $((($2 - $1) * 10000000 / 40955)); }
t0=$(uptime_cs); for i in 1 2 3 4 5; do trcmd show speed 0 0; done; t1=$(uptime_cs)
for i in 1 2 3 4 5; do trcmd show speed >/tmp/show.out; done; t2=$(uptime_cs)
for i in 1 2 3 4 5; do trcmd_writer speed 0 >/dev/null; done; t3=$(uptime_cs)
for i in 1 2 3 4 5; do trcmd_writer speed 8191 >/dev/null; done; t4=$(uptime_cs)
read_ns=$(per_line_ns $((t1 - t0)) $((t2 - t1)))
write_ns=$(per_line_ns $((t3 - t2)) $((t4 - t3)))
echo "vmtest: INFO alone: a line read and printed in $read_ns ns, written in $write_ns ns (ratio $((read_ns * 100 / (write_ns + 1)))%)"

# Idle CPU use of follow over 10 s (utime + stime in clock ticks of 1/100 s).
follow_start /tmp/idle speed -t 0
sleep 1
ticks() { awk '{print $14 + $15}' /proc/$follower/stat; }
t0=$(ticks); c0=$(uptime_cs)
sleep 10
t1=$(ticks); c1=$(uptime_cs)
follow_stop INT
echo "vmtest: INFO follow idle: $((t1 - t0)) ticks of CPU in $((c1 - c0)) ticks ($(((t1 - t0) * 10000 / (c1 - c0))) per 10,000)"
check follow-idle-under-1-percent "[ $(((t1 - t0) * 100)) -lt $((c1 - c0)) ]"

# ---- the example program and the driver's end ---------------------------------
hello_trace 1 >/dev/null
expect_re example-traced 0 "^${stamp}(hello_trace .*|tick [0-9]+: [0-9]+ squared is [0-9]+)?\$" trcmd show example
# A channel whose name would drive the terminal is listed harmless; "--"
# lets a channel name start with '-'.
esc=$(printf '\033')
expect hostile-name-print 0 "" trcmd print "evil${esc}[2J$(printf '\t')name" hostile
run trcmd list
check hostile-name-shown "grep -q ' evil?\[2J?name ' $out && ! grep -q '$esc' $out"
expect print-dash-name 0 "" trcmd print -- -dash after dashes
expect_re show-dash-name 0 "^${stamp}(after dashes)?\$" trcmd show -- -dash
check show-dash-two-lines "[ \$(wc -l <$out) = 2 ]"

# ---- the library and the driver from before waits and batch reads ---------------
# compat <tag>: follow of a slow writer and show of what it wrote, read by
# polling and line by line, with nothing lost.
compat() {
  trcmd_writer "compat$1" 0 >/dev/null
  follow_start "/tmp/compat$1" "compat$1"
  sleep 1
  trcmd_writer "compat$1" 30 20000 >/dev/null
  wait_lines "/tmp/compat$1" 31 20
  follow_stop INT
  check "$1-follow-polls" "[ $status = 0 ] && [ \$(grep -Ec '^${stamp}w [0-9]+\$' /tmp/compat$1) = 30 ] && ! grep -q NOTE /tmp/compat$1"
  run trcmd show "compat$1"
  check "$1-show" "[ \$(grep -Ec '^${stamp}w [0-9]+\$' $out) = 30 ] && grep -Eo 'w [0-9]+\$' $out | awk '{ if (\$2 != NR) bad = 1 } END { exit bad }'"
}
if [ -s /root/libqptrace1-landed.so ] && [ -s /root/qptrace-landed.ko ]; then
  # The landed library against this driver (writer and trcmd both load it).
  cp /root/libqptrace1-landed.so /usr/local/lib/libqptrace1.so
  compat landed-library
  cp /root/libqptrace1.so /usr/local/lib/libqptrace1.so
  # This library and trcmd against the landed driver.
  rmmod qptrace || echo "vmtest: FAIL unload-for-landed: rmmod"
  insmod /root/qptrace-landed.ko || echo "vmtest: FAIL load-landed: insmod"
  compat landed-driver
else
  echo "vmtest: FAIL landed-builds: the library and driver of the landed commit were not built"
fi

rmmod qptrace || echo "vmtest: FAIL unload: rmmod"
expect after-unload-no-driver 1 "$no_driver" trcmd show traces
exit 0
