# Guest script of the character-device framework tests (run by the VM's
# init from /root): loads the test owner qpcdevtest, drives it from user
# space as root and as nobody and from a kernel-client module, cancels it
# under load, unloads it and checks that nothing is left behind; then loads
# and unloads qptrace, which carries the framework.
. /root/guestlib.sh
requests() { cdev_test --gtest_brief=1 --gtest_filter="$1"; }

check load insmod /root/qpcdevtest.ko
check create-log-line logged 'Create device 0x[0-9A-F]* qpcdevtest$'
check node-mode-0666 sh -c '[ -c /dev/qpcdevtest ] && [ "$(stat -c %a /dev/qpcdevtest)" = 666 ]'
check device-class test -d /sys/class/qpcdevtest/qpcdevtest
# A node made by hand for another minor of the region reaches no device.
check other-minor-refused sh -c 'major=$(sed -n "s/^ *\([0-9]*\) qpcdevtest$/\1/p" /proc/devices);
  mknod /tmp/cdev5 c "$major" 5 && ! cat /tmp/cdev5'

check requests-as-root requests 'Interface.*:Control.*:Sleep.*:Buffers.*'
check kernel-client insmod /root/qpcdevtest_kclient.ko
check kernel-client-checks logged 'qpcdevtest_kclient: [1-9][0-9]* passed, 0 failed'
check kernel-client-unload rmmod qpcdevtest_kclient
check hostile-sizes-as-nobody requests 'Unprivileged.*'
check cancel-under-load requests 'Cancel.*'

check unload rmmod qpcdevtest
check no-leak-line absent logged 'memory leak'
check node-gone absent test -e /dev/qpcdevtest
check class-gone absent test -e /sys/class/qpcdevtest
check region-gone absent grep -q qpcdevtest /proc/devices

check qptrace-load insmod /root/qptrace.ko
check qptrace-unload rmmod qptrace
check qptrace-no-leak-line absent logged 'memory leak'
exit 0
