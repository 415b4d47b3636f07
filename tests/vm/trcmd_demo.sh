# Guest script of the demonstration (tools/demo.sh): the system as a user
# meets it. Root installs from the built files, an ordinary user (nobody)
# finds the driver missing, starts it through the execution service, runs
# the example program and reads its channel with trcmd; root uninstalls.
# The host prints the part between the demo markers.
export PATH=/usr/local/bin:/bin
stage=/root/stage
mkdir -p "$stage"
for f in trsetup trstart trcmd qpsysexec libqptrace1.so qptrace.kmod; do
  cp "/root/$f" "$stage/$f"
done
chmod 755 /root "$stage"/trsetup "$stage"/trstart "$stage"/trcmd "$stage"/qpsysexec
# Shows a command line with the user's prompt, then runs it.
as_root() { echo; echo "# $*"; "$@"; }
as_user() { echo; echo "\$ $*"; runas 65534 65534 "$@"; }

echo "demo: begin"
echo "(# is root, \$ is user nobody)"
as_root "$stage/trsetup" install || echo "vmtest: FAIL demo: install"
as_user trcmd list
as_user qpsysexec start /usr/local/bin/trstart sysstart
echo
echo "\$ hello_trace 8 &        # the example: a line every 200 ms for 8 s"
runas 65534 65534 hello_trace 8 &
example=$!
sleep 2
as_user trcmd list
as_user trcmd show example 0 6
as_user trcmd info example
echo
echo "\$ trcmd follow -t 2 example    # stopped after 4 s (SIGINT)"
runas 65534 65534 timeout -s INT 4 trcmd follow -t 2 example
status=$?
wait "$example"
as_user trcmd print example a line from the shell
as_user trcmd show -l example 40
as_root truninst uninstall
echo "demo: end"
[ "$status" = 0 ] && echo "vmtest: PASS demo" || echo "vmtest: FAIL demo: follow ended with $status"
rmmod qptrace
exit 0
