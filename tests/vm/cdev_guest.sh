# Guest script of the character-device framework tests (run by the VM's
# init from /root): loads the test owner qpcdevtest, drives it from user
# space as root and as nobody and from a kernel-client module, cancels it
# under load, unloads it and checks that nothing is left behind; then loads
# and unloads qptrace, which carries the framework.
. /root/guestlib.sh
requests() { cdev_test --gtest_brief=1 --gtest_filter="$1"; }
requests_as_nobody() { as_nobody /bin/cdev_test --gtest_brief=1 --gtest_filter="$1"; }
logged() { holds "$1" "dmesg | grep -q -- '$2'"; }
not_logged() { holds "$1" "! dmesg | grep -q -- '$2'"; }

succeeds load insmod /root/qpcdevtest.ko
logged create-log-line 'Create device 0x[0-9A-F]* qpcdevtest$'
holds node-mode-0666 '[ -c /dev/qpcdevtest ] && [ "$(stat -c %a /dev/qpcdevtest)" = 666 ]'
holds device-class 'test -d /sys/class/qpcdevtest/qpcdevtest'
# A node made by hand for another minor of the region reaches no device.
holds other-minor-refused 'major=$(sed -n "s/^ *\([0-9]*\) qpcdevtest$/\1/p" /proc/devices);
  mknod /tmp/cdev5 c "$major" 5 && ! cat /tmp/cdev5 2>/dev/null'

succeeds requests-as-root requests 'Interface.*:Control.*:Sleep.*:Buffers.*'
succeeds kernel-client insmod /root/qpcdevtest_kclient.ko
logged kernel-client-checks 'qpcdevtest_kclient: [1-9][0-9]* passed, 0 failed'
succeeds kernel-client-unload rmmod qpcdevtest_kclient
succeeds hostile-sizes-as-nobody requests_as_nobody 'Unprivileged.*'
succeeds cancel-under-load requests 'Cancel.*'

succeeds unload rmmod qpcdevtest
not_logged no-leak-line 'memory leak'
holds node-gone '! test -e /dev/qpcdevtest'
holds class-gone '! test -e /sys/class/qpcdevtest'
holds region-gone '! grep -q qpcdevtest /proc/devices'

succeeds qptrace-load insmod /root/qptrace.ko
succeeds qptrace-unload rmmod qptrace
not_logged qptrace-no-leak-line 'memory leak'
exit 0
