# Guest script of the kernel-module steps (run by the VM's init from /root):
# the VM has no compiler and no kernel build tree, so f8_load_kernel must
# load the driver from the precompiled module in /lib/modules/qptrace.kmod;
# a second call finds the module current and changes nothing.
pass() { echo "vmtest: PASS $1"; }
fail() { echo "vmtest: FAIL $1: $2"; }
check() { if sh -c "$2"; then pass "$1"; else fail "$1" "$2"; fi; }

release=$(uname -r)
folder=/lib/modules/$release/qptrace
mkdir -p /lib/modules /sbin
ln -sf /bin/busybox /sbin/insmod
cp /root/qptrace.kmod /lib/modules/qptrace.kmod
check "no build tree in the guest" "[ ! -e /lib/modules/$release/build ]"
check "no driver before" "[ ! -e /dev/qptrace ]"

out=$(qpinst_probe load qptrace 2>&1 || echo "probe exit $?")
check "load prints nothing and succeeds" "[ '$out' = err=0 ]"
check "device appears" "[ -c /dev/qptrace ]"
check "driver listed" "grep -q '^qptrace ' /proc/modules"
check "module file made" "[ -f $folder/qptrace.ko ]"
check "check files written" "[ -s $folder/kmod_check.txt ] && [ -f $folder/config_check.txt ]"
check "folder cleaned" "[ ! -e $folder/Makefile ] && [ ! -e $folder/qptrace-$release.ko ] && [ -z \"\$(ls -d $folder/*/ 2>/dev/null)\" ]"
echo "$out" | sed 's/^/vmtest: INFO /'

before=$(stat -c %i:%Y:%s $folder/qptrace.ko)
out=$(qpinst_probe load qptrace 2>&1 || echo "probe exit $?")
check "second load succeeds silently" "[ '$out' = err=0 ]"
check "second load leaves the module file" "[ '$(stat -c %i:%Y:%s $folder/qptrace.ko)' = '$before' ]"
{ qpinst_probe update qptrace load || echo "probe exit $?"; } > /tmp/update.out 2>&1
sed 's/^/vmtest: INFO /' /tmp/update.out
check "current module: no unpack, no copy" "! grep -q -e 'tar xzf' -e precompiled /tmp/update.out"
check "current module: loads again without error" "grep -q '^err=0$' /tmp/update.out"
check "driver still there" "[ -c /dev/qptrace ] && grep -q '^qptrace ' /proc/modules"
