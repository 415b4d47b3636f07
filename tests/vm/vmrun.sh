#!/usr/bin/env bash
# Boots a kernel under qemu (software emulation, serial console) with an
# initramfs holding busybox, the given modules, programs and files, runs one
# guest test script inside and returns its verdict.
#
#   vmrun.sh --kernel /boot/vmlinuz-R --headers /usr/src/linux-headers-R \
#            --script guest.sh [--module x.ko]... [--prog path]... \
#            [--file path]... [--work dir] [--timeout seconds]
#
# Modules, files, the guest script and its helpers (guestlib.sh) land in
# /root of the guest; programs in /bin with every shared library their ldd
# lists. The guest has /etc with the users root and nobody, /tmp, /var/run
# and the empty system folders /usr/local/bin, /usr/local/lib, /lib/modules. The guest script reports
# "vmtest: PASS <name>" and "vmtest: FAIL <name>: <why>" lines; the init
# script brackets the run with "vmtest: begin" and "vmtest: end <status>",
# then prints the kernel log. The verdict fails when a test failed, none
# passed, the end marker is missing (hang, panic, timeout), the script
# exited non-zero, or the kernel log shows a leak, a warning or an oops.
# The last line is the summary "vm: N passed, N failed".
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
kernel="" headers="" script="" work="" timeout_s=180
modules=() progs=() files=()
while [ $# -gt 0 ]; do
  case "$1" in
    --kernel) kernel=$2; shift 2 ;;
    --headers) headers=$2; shift 2 ;;
    --script) script=$2; shift 2 ;;
    --module) modules+=("$2"); shift 2 ;;
    --prog) progs+=("$2"); shift 2 ;;
    --file) files+=("$2"); shift 2 ;;
    --work) work=$2; shift 2 ;;
    --timeout) timeout_s=$2; shift 2 ;;
    *) echo "vmrun: unknown argument $1" >&2; exit 2 ;;
  esac
done

die() { echo "vmrun: $*" >&2; echo "vm: 0 passed, 1 failed"; exit 1; }

[ -n "$kernel" ] && [ -n "$headers" ] && [ -n "$script" ] || die "--kernel, --headers and --script are required"
[ -r "$kernel" ] || die "no kernel image $kernel"
[ -r "$script" ] || die "no guest script $script"
command -v qemu-system-x86_64 >/dev/null || die "qemu-system-x86_64 is missing (tools/setup.sh installs it)"
busybox=$(command -v busybox || true)
# The guest has no libraries of its own for busybox: it must be static.
[ -n "$busybox" ] && ! ldd "$busybox" >/dev/null 2>&1 || die "a static busybox is missing (busybox-static)"
command -v modinfo >/dev/null || die "modinfo is missing (kmod)"

# The release a bzImage was built as: its header holds the offset of the
# version text at 0x20E (relative to 0x200).
image_release() {
  local off
  off=$(od -An -tu2 -j $((0x20E)) -N2 "$1" | tr -d ' ')
  dd if="$1" bs=1 skip=$((off + 0x200)) count=128 status=none | tr '\0' '\n' | head -n1 | cut -d' ' -f1
}
headers_release() {
  sed -n 's/^#define UTS_RELEASE "\(.*\)"/\1/p' "$1/include/generated/utsrelease.h" 2>/dev/null
}
release=$(image_release "$kernel")
hrelease=$(headers_release "$headers")
[ -n "$release" ] || die "cannot read the release of $kernel"
[ "$release" = "$hrelease" ] || die "kernel image is $release but headers are ${hrelease:-unknown}"
for m in "${modules[@]}"; do
  [ -r "$m" ] || die "no module $m"
  magic=$(modinfo -F vermagic "$m" 2>/dev/null | cut -d' ' -f1)
  [ "$magic" = "$release" ] || die "$m is built for ${magic:-unknown}, the kernel is $release"
done

if [ -z "$work" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi
root=$work/root
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,tmp,root,lib,lib64,sys/kernel/tracing}
cp "$busybox" "$root/bin/busybox"

copy_with_libs() {
  local prog=$1 lib
  cp "$prog" "$root/bin/"
  for lib in $(ldd "$prog" 2>/dev/null | grep -o '/[^ ]*' || true); do
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done
}
for p in "${progs[@]}"; do
  [ -x "$p" ] || die "no program $p"
  copy_with_libs "$p"
done
for m in "${modules[@]}" "${files[@]}"; do
  cp "$m" "$root/root/"
done
cp "$script" "$root/root/test.sh"
cp "$here/guestlib.sh" "$root/root/guestlib.sh"
cp "$here/init" "$root/init"
chmod 755 "$root/init" "$root/root/test.sh"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) > "$work/initrd.gz"

# The emulated CPUs' time stamp counters drift apart, so the kernel would
# fall back to the emulated HPET, whose every read costs microseconds; real
# machines read the TSC, and so does the guest with tsc=reliable.
cmdline="console=ttyS0 quiet panic=-1 oops=panic tsc=reliable"
log=$work/console.log
set +e
timeout --kill-after=10 "$timeout_s" qemu-system-x86_64 -accel tcg -cpu max -smp 2 -m 512 \
  -nographic -no-reboot -monitor none -serial stdio \
  -kernel "$kernel" -initrd "$work/initrd.gz" \
  -append "$cmdline" </dev/null >"$log" 2>&1
qemu_status=$?
set -e

# Serial output: CR LF line ends and the firmware's terminal escapes.
clean=$work/console.txt
sed -e 's/\r$//' -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' "$log" >"$clean"
grep -E '^vmtest: (PASS|FAIL|NOTE|INFO)' "$clean" || true
passed=$(grep -c '^vmtest: PASS ' "$clean" || true)
failed=$(grep -c '^vmtest: FAIL ' "$clean" || true)
end=$(sed -n 's/^vmtest: end \([0-9]*\)$/\1/p' "$clean" | tail -n1)

problem() { echo "vmrun: $*"; failed=$((failed + 1)); }
if [ "$qemu_status" -eq 124 ] || [ "$qemu_status" -eq 137 ]; then
  problem "the guest did not power off within ${timeout_s}s"
fi
if [ -z "$end" ]; then
  problem "the guest script never finished; console tail:"
  tail -n 40 "$clean"
elif [ "$end" != 0 ]; then
  problem "the guest script exited with status $end"
fi
# The kernel log of a clean run has no leak report, warning or oops.
bad=$(sed -n '/^vmtest: dmesg-begin$/,/^vmtest: dmesg-end$/p' "$clean" |
  grep -E 'memory leak|ASSERT:|WARNING:|BUG:|Oops|Call Trace|general protection|kernel panic|UBSAN|KASAN' || true)
if [ -n "$bad" ]; then
  problem "the kernel log shows trouble:"
  echo "$bad"
fi
[ "$passed" -gt 0 ] || problem "no test passed"
[ "$failed" -eq 0 ] || echo "vmrun: console log in $clean (kept only with --work)"
echo "vm: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
