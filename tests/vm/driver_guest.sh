# Guest script of the driver tests (run by the VM's init from /root): loads
# qptrace, drives it with raw ioctls as root and as an ordinary user, from
# many processes and from a kernel client, then unloads it and checks that
# nothing is left behind. Every check prints one vmtest line.
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
ioctls() { traceio_test --gtest_brief=1 --gtest_filter="$1"; }

# Without the driver a kernel client cannot attach, and says so.
check kernel-client-without-driver absent insmod /root/qptrace_kclient.ko
check kernel-client-attach-failed logged 'qptrace_kclient: attach failed'

check load insmod /root/qptrace.ko
check load-log-lines sh -c 'dmesg | grep -q "qptrace loading \.\.\." && dmesg | grep -q "qptrace load$"'
check node-mode-0666 sh -c '[ -c /dev/qptrace ] && [ "$(stat -c %a /dev/qptrace)" = 666 ]'
check device-class test -d /sys/class/qptrace/qptrace

check ioctls-as-root ioctls '-Unprivileged*:KernelClient*:Wait.*:ReadLines.*:Concurrency.WaitersAndWritersAtOnce'
check version-hides-exports ioctls 'Unprivileged.VersionHidesTheExportTable'
check hostile-sizes-as-user ioctls 'Unprivileged.HostileSizes'
check hostile-wait-and-read-lines-as-user ioctls 'Unprivileged.HostileWaitAndReadLinesRecords'
check wait-woken-by-print ioctls 'Wait.WokenByAPrintInAnotherProcess'
check wait-woken-by-reset ioctls 'Wait.WokenByAReset'
check wait-times-out ioctls 'Wait.TimesOut'
check wait-interrupted ioctls 'Wait.InterruptedByASignal'
check read-lines-as-single-reads ioctls 'ReadLines.*'
check waiters-and-writers-at-once ioctls 'Concurrency.WaitersAndWritersAtOnce'
check new-channel-log-line logged 'new trace channel vmtest'

check kernel-client-load insmod /root/qptrace_kclient.ko
check kernel-client-attached logged 'qptrace_kclient: attached'
check kernel-client-line-read ioctls 'KernelClient.*'
check driver-held-by-client absent rmmod qptrace
check kernel-client-unload rmmod qptrace_kclient

check unload rmmod qptrace
check unload-log-line logged 'qptrace unload'
check no-leak-line absent logged 'memory leak'
check node-gone absent test -e /dev/qptrace
check class-gone absent test -e /sys/class/qptrace
check region-gone absent grep -q qptrace /proc/devices

# A load that fails (no major number left) tears down what it set up.
check blocker-load insmod /root/qptrace_kblock.ko
check failed-load absent insmod /root/qptrace.ko
check failed-load-log-line logged 'Failed to register device qptrace error'
check failed-load-nothing-left sh -c '! grep -q " qptrace$" /proc/devices && ! test -e /sys/class/qptrace'
check failed-load-no-leak absent logged 'memory leak'
check blocker-unload rmmod qptrace_kblock

# A second life starts from a fresh channel store.
check reload insmod /root/qptrace.ko
check reload-fresh-list ioctls 'Functions.ListOfAFreshDriver'
check second-unload rmmod qptrace
exit 0
