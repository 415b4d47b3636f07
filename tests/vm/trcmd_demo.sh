# Guest script of the demonstration (tools/demo.sh): installs the library at
# its fixed path, loads the driver, starts the example program and shows
# what trcmd sees of it. The host prints the part between the demo markers.
mkdir -p /usr/local/lib
cp /root/libqptrace1.so /usr/local/lib/libqptrace1.so
insmod /root/qptrace.ko || echo "vmtest: FAIL load: insmod"
# Shows a command line, then runs it.
show() { echo; echo "\$ $*"; "$@"; }

echo "demo: begin"
echo "\$ hello_trace 8 &        # the example: a line every 200 ms for 8 s"
hello_trace 8 &
example=$!
sleep 2
show trcmd list
show trcmd show example 0 6
show trcmd info example
echo
echo "\$ trcmd follow -t 2 example    # stopped after 4 s (SIGINT)"
timeout -s INT 4 trcmd follow -t 2 example
status=$?
wait "$example"
show trcmd print example a line from the shell
show trcmd show -l example 40
echo "demo: end"
[ "$status" = 0 ] && echo "vmtest: PASS demo" || echo "vmtest: FAIL demo: follow ended with $status"
rmmod qptrace
exit 0
