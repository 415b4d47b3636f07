# Guest script of the installer and start tool tests (run by the VM's init
# from /root): the whole life of an installation from the staged install
# folder /root/stage (the programs, the library and the module archive with
# a module precompiled for this kernel). An ordinary user is refused the
# install, root installs, user nobody starts the driver through the
# execution service and traces, a second install changes nothing, the
# uninstaller takes everything away again, and a failed install cleans up
# after itself.
. /root/guestlib.sh
stage=/root/stage
bin=/usr/local/bin
installed="$bin/qpsysexec $bin/truninst $bin/trcmd $bin/trstart /usr/local/lib/libqptrace1.so"

# has <name> <line>: passes when $out holds the exact line.
has() { if grep -qxF -- "$2" "$out"; then pass "$1"; else fail "$1" "no line: $2"; fi; }
mode_of() { stat -c %a "$1" 2>/dev/null; }
owner_of() { stat -c %u "$1" 2>/dev/null; }
times_of() { for f in $installed /lib/modules/qptrace.kmod; do stat -c '%n %Y' "$f"; done; }
load_count() { dmesg | grep -c 'qptrace load$'; }

mkdir -p "$stage"
for f in trsetup trstart trcmd qpsysexec libqptrace1.so qptrace.kmod; do
  cp "/root/$f" "$stage/$f"
done
chmod 755 "$stage"/trsetup "$stage"/trstart "$stage"/trcmd "$stage"/qpsysexec
chmod 755 /root

# ---- an ordinary user may not install ----------------------------------------
expect install-refused-for-user 255 "ERROR: This program must be run by an administrator.
ERROR: Install failed." as_nobody "$stage/trsetup" install
holds install-refused-changes-nothing "[ ! -e $bin/trstart ] && [ ! -e /lib/modules/qptrace.kmod ]"

# ---- install, with a switch and an argument to ignore ---------------------------
run "$stage/trsetup" install -x foo
if [ "$status" = 0 ]; then pass install-status; else fail install-status "status $status"; fi
holds install-warnings "[ \"\$(head -n 2 $out)\" = 'WARNING: Ignoring unknown switch \"-x\"
WARNING: Ignoring unexpected argument \"foo\"' ]"
has install-copies-trstart "Copying file \"$stage/trstart\" to \"$bin/trstart\""
has install-copies-uninstaller "Copying file \"$stage/trsetup\" to \"$bin/truninst\""
has install-approves "Approve privileged execution \"$bin/trstart\""
has install-uses-precompiled-module "Using precompiled kernel module qptrace-$(uname -r).ko"
holds install-complete-last "[ \"\$(tail -n 1 $out)\" = 'Install complete.' ]"
cp "$out" /tmp/install1.out
for f in $installed; do
  holds "mode-755-$(basename "$f")" "[ \"$(mode_of "$f")\" = 755 ]"
done
holds archive-mode-644 "[ \"$(mode_of /lib/modules/qptrace.kmod)\" = 644 ]"
holds daemon-copy-setuid-root "[ \"$(mode_of $bin/qpsysexec-daemon)\" = 4755 ] && [ \"$(owner_of $bin/qpsysexec-daemon)\" = 0 ]"
run "$bin/qpsysexec" list
has start-tool-approved "$bin/trstart"
holds module-built-not-loaded "[ -f /lib/modules/$(uname -r)/qptrace/qptrace.ko ] && [ ! -e /dev/qptrace ]"

# ---- an ordinary user starts the driver and traces -----------------------------
expect user-hint-before-start 1 \
  "ERROR: The trace driver is not reachable. Start it with: qpsysexec start /usr/local/bin/trstart sysstart" \
  as_nobody "$bin/trcmd" list
run as_nobody "$bin/qpsysexec" start "$bin/trstart" sysstart
has user-starts-driver "EXIT_CODE 0"
holds driver-loaded "[ -c /dev/qptrace ]"
succeeds user-prints as_nobody "$bin/trcmd" print probe "hello from nobody"
run as_nobody "$bin/trcmd" show probe
holds user-shows "grep -q 'hello from nobody' $out"
expect sysstart-when-loaded-is-silent 0 "" "$bin/trstart" sysstart

# ---- a second install over the same files --------------------------------------
times_of >/tmp/times1
sleep 1
run "$stage/trsetup" install
holds reinstall-status "[ $status = 0 ] && [ \"\$(tail -n 1 $out)\" = 'Install complete.' ]"
times_of >/tmp/times2
holds reinstall-copies-nothing "cmp -s /tmp/times1 /tmp/times2"
holds reinstall-does-not-unpack "! grep -q 'Running command \"tar' $out"

# ---- the uninstaller's own command list ------------------------------------------
run "$bin/truninst"
holds uninstaller-banner "[ $status = 0 ] && grep -q 'Trace Tool Setup - Velkor Trace Tool' $out"
run "$bin/truninst" install
holds uninstaller-has-no-install "[ $status = 255 ] && grep -qxF 'Try one of:' $out && grep -qxF '  uninstall' $out"

# ---- uninstall: the service stays while another approval is left -----------------
"$bin/qpsysexec" approve /bin/true >/dev/null 2>&1
run "$bin/truninst" uninstall
holds uninstall-status "[ $status = 0 ] && [ \"\$(tail -n 1 $out)\" = 'Uninstall complete.' ]"
has uninstall-deletes-trstart "Deleting file \"$bin/trstart\""
holds uninstall-removes-files "for f in $bin/trstart $bin/trcmd $bin/truninst /usr/local/lib/libqptrace1.so /lib/modules/qptrace.kmod /lib/modules/$(uname -r)/qptrace; do [ ! -e \$f ] || exit 1; done"
holds uninstall-keeps-service-with-other-approval "[ -e $bin/qpsysexec ] && [ -e $bin/qpsysexec-daemon ]"
run "$bin/qpsysexec" list
holds uninstall-revoked-trstart "! grep -q trstart $out"
"$bin/qpsysexec" revoke /bin/true >/dev/null 2>&1
holds last-revoke-removes-service "[ ! -e $bin/qpsysexec ] && [ ! -e $bin/qpsysexec-daemon ]"

# ---- install, then uninstall with the start tool as the only approval ------------
run "$stage/trsetup" install
holds install-again "[ $status = 0 ]"
run "$bin/truninst" uninstall
holds uninstall-last-approval-removes-service "[ $status = 0 ] && [ ! -e $bin/qpsysexec ] && [ ! -e $bin/qpsysexec-daemon ]"
run "$stage/trsetup" uninstall
holds uninstall-with-nothing-installed "[ $status = 0 ] && ! grep -q '^Deleting file' $out && [ \"\$(tail -n 1 $out)\" = 'Uninstall complete.' ]"

# ---- a failed install cleans up after itself ---------------------------------------
mv "$stage/qptrace.kmod" /root/qptrace.kmod.aside
mv /root/qptrace.kmod /root/qptrace.kmod.parent
run "$stage/trsetup" install
holds failed-install-status "[ $status = 255 ] && [ \"\$(tail -n 1 $out)\" = 'ERROR: Install failed.' ]"
has failed-install-note "NOTE: Executing uninstall logic to cleanup failed install."
holds failed-install-leaves-nothing "for f in $bin/trstart $bin/trcmd $bin/truninst /usr/local/lib/libqptrace1.so /lib/modules/qptrace.kmod; do [ ! -e \$f ] || exit 1; done"
mv /root/qptrace.kmod.aside "$stage/qptrace.kmod"

# ---- two starts at once load the module once ----------------------------------------
rmmod qptrace
run "$stage/trsetup" install
holds install-for-race "[ $status = 0 ]"
before=$(load_count)
"$bin/trstart" sysstart & first=$!
"$bin/trstart" sysstart & second=$!
wait $first; s1=$?
wait $second; s2=$?
holds concurrent-starts-succeed "[ $s1 = 0 ] && [ $s2 = 0 ] && [ -c /dev/qptrace ]"
holds concurrent-starts-load-once "[ $(load_count) = $((before + 1)) ]"
"$bin/truninst" uninstall >/dev/null 2>&1
rmmod qptrace
exit 0
