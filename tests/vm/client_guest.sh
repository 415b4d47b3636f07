# Guest script of the client-library tests (run by the VM's init from
# /root): installs libqptrace1.so at its fixed path, runs the client test
# suites (the first one loads the driver itself), then the print benchmark
# against the raw request, and unloads the driver. Each step prints one
# vmtest line; a failing step also its last output lines.
out=/tmp/client.out

# step <name> <command...>
step() {
  name=$1; shift
  "$@" >"$out" 2>&1
  status=$?
  if [ "$status" -eq 0 ]; then
    echo "vmtest: PASS $name"
  else
    tail -n 40 "$out" | sed 's/^/vmtest: INFO /'
    echo "vmtest: FAIL $name: status $status of $*"
  fi
}
suite() { client_test --gtest_brief=1 --gtest_filter="$1"; }
without_stdin() { suite "$1" <&-; }
without_library() {
  mv /usr/local/lib/libqptrace1.so /tmp/ || return 1
  suite "$1"; status=$?
  mv /tmp/libqptrace1.so /usr/local/lib/
  return $status
}

mkdir -p /usr/local/lib
step install-library cp /root/libqptrace1.so /usr/local/lib/libqptrace1.so
step auto-attach-after-load suite 'AutoAttach.*'
step client-calls suite 'Client.*'
step closed-stdin without_stdin 'ClosedStdin.*'
step two-writers-one-reader suite 'SharedChannel.*'
step library-gone-means-inert without_library 'Inert.*'

client_bench --benchmark_color=false --benchmark_min_time=0.05 --benchmark_repetitions=9 \
  --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true 2>&1 |
  sed -e '/^vmtest: /!s/^/vmtest: INFO /'
step unload rmmod qptrace
exit 0
