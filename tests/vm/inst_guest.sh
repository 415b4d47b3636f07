# Guest script of the kernel-module steps (run by the VM's init from /root):
# the VM has no compiler and no kernel build tree, so f8_load_kernel must
# load the driver from the precompiled module in /lib/modules/qptrace.kmod;
# a second call finds the module current and changes nothing.
. /root/guestlib.sh

release=$(uname -r)
folder=/lib/modules/$release/qptrace
mkdir -p /sbin
ln -sf /bin/busybox /sbin/insmod
cp /root/qptrace.kmod /lib/modules/qptrace.kmod
holds "no build tree in the guest" "[ ! -e /lib/modules/$release/build ]"
holds "no driver before" "[ ! -e /dev/qptrace ]"

# f8_load_kernel prints nothing; the probe adds its status line.
expect "load prints nothing and succeeds" 0 "err=0" qpinst_probe load qptrace
holds "device appears" "[ -c /dev/qptrace ]"
holds "driver listed" "grep -q '^qptrace ' /proc/modules"
holds "module file made" "[ -f $folder/qptrace.ko ]"
holds "check files written" "[ -s $folder/kmod_check.txt ] && [ -f $folder/config_check.txt ]"
holds "folder cleaned" "[ ! -e $folder/Makefile ] && [ ! -e $folder/qptrace-$release.ko ] && [ -z \"\$(ls -d $folder/*/ 2>/dev/null)\" ]"

before=$(stat -c %i:%Y:%s $folder/qptrace.ko)
expect "second load succeeds silently" 0 "err=0" qpinst_probe load qptrace
holds "second load leaves the module file" "[ '$(stat -c %i:%Y:%s $folder/qptrace.ko)' = '$before' ]"
succeeds "current module: update and load" qpinst_probe update qptrace load
cp "$out" /tmp/update.out
holds "current module: no unpack, no copy" "! grep -q -e 'tar xzf' -e precompiled /tmp/update.out"
holds "current module: loads again without error" "grep -q '^err=0$' /tmp/update.out"
holds "driver still there" "[ -c /dev/qptrace ] && grep -q '^qptrace ' /proc/modules"
