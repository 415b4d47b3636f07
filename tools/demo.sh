#!/usr/bin/env bash
# The main job: installs what is missing, builds everything an installation
# needs (the programs, the trace library and the module archive with a
# module precompiled for the VM's kernel) and the example program, boots a
# VM and shows the system as a user meets it: root installs with trsetup,
# an ordinary user starts the driver through the execution service, traces
# with the example and reads with trcmd list, show and follow; root
# uninstalls.
#
# The VM boots Debian's kernel package (linux-image-amd64) under qemu, so
# the module is built against that kernel's headers in build-demo/, apart
# from a build for the machine's own kernel.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh

build=build-demo
echo "demo: building (first time: a few minutes)"
cmake -S . -B "$build" -G Ninja >/dev/null
cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
kernel=$(cache QP_VM_KERNEL)
headers=$(cache QP_VM_HEADERS)
if [ -z "$kernel" ] || [ -z "$headers" ]; then
  echo "demo: no kernel image with matching headers (linux-image-amd64, linux-headers-amd64)" >&2
  exit 1
fi
# The module must be built for the kernel the VM boots.
if [ "$(cache QP_KERNEL_BUILD)" != "$headers" ]; then
  cmake -S . -B "$build" -DQP_KERNEL_BUILD="$headers" >/dev/null
fi
programs="trsetup trstart trcmd qpsysexec"
if ! cmake --build "$build" --target $programs qptrace1 qpinst_vm_archive hello_trace runas \
    >"$build/demo-build.log" 2>&1; then
  tail -n 30 "$build/demo-build.log" >&2
  echo "demo: the build failed (log: $build/demo-build.log)" >&2
  exit 1
fi

echo "demo: booting $(basename "$kernel") under qemu (software emulation: about 30 s)"
work=$build/demo-vm
status=0
files=()
for p in $programs; do
  files+=(--prog "$build/$p" --file "$build/$p")
done
tests/vm/vmrun.sh --kernel "$kernel" --headers "$headers" --script tests/vm/trcmd_demo.sh \
  --work "$work" --timeout 150 "${files[@]}" --prog "$build/hello_trace" --prog "$build/runas" \
  --file "$build/libqptrace1.so" --file "$build/vm-kmod/qptrace.kmod" \
  >"$work.log" 2>&1 || status=$?
sed -n '/^demo: begin$/,/^demo: end$/p' "$work/console.txt" 2>/dev/null | sed '1d;$d'
if [ "$status" != 0 ]; then
  echo "demo: the VM run failed; its log:" >&2
  tail -n 30 "$work.log" >&2
  exit "$status"
fi
echo
echo "demo: done (console log: $work/console.txt)"
