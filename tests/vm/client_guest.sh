# Guest script of the client-library tests (run by the VM's init from
# /root): installs libqptrace1.so at its fixed path, runs the client tests
# (the first one loads the driver itself), then the print benchmark against
# the raw request, and unloads the driver. Every check prints one vmtest line.
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
suite() { client_test --gtest_brief=1 --gtest_filter="$1"; }

mkdir -p /usr/local/lib
check install-library cp /root/libqptrace1.so /usr/local/lib/libqptrace1.so
check auto-attach-after-load suite 'AutoAttach.*'
check client-calls suite 'Client.*'
check closed-stdin sh -c "client_test --gtest_brief=1 --gtest_filter='ClosedStdin.*' <&-"
check two-writers-one-reader suite 'SharedChannel.*'
check library-gone-means-inert sh -c 'mv /usr/local/lib/libqptrace1.so /tmp/ &&
  client_test --gtest_brief=1 --gtest_filter="Inert.*"; s=$?; mv /tmp/libqptrace1.so /usr/local/lib/; exit $s'

client_bench --benchmark_color=false --benchmark_min_time=0.05 --benchmark_repetitions=9 \
  --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true 2>&1 |
  sed -e '/^vmtest: /!s/^/vmtest: INFO /'
check unload rmmod qptrace
exit 0
