#!/usr/bin/env bash
# The main job: installs what is missing, builds the kernel module, the
# trace library, the trace command and the example program, boots a VM
# with the real module and shows trcmd list, show and follow on the example
# program's channel while it writes.
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
if ! cmake --build "$build" --target qptrace_module qptrace1 trcmd hello_trace >"$build/demo-build.log" 2>&1; then
  tail -n 30 "$build/demo-build.log" >&2
  echo "demo: the build failed (log: $build/demo-build.log)" >&2
  exit 1
fi

echo "demo: booting $(basename "$kernel") under qemu (software emulation: about 30 s)"
work=$build/demo-vm
status=0
tests/vm/vmrun.sh --kernel "$kernel" --headers "$headers" --script tests/vm/trcmd_demo.sh \
  --work "$work" --timeout 150 --module "$build/kmod/qptrace/qptrace.ko" \
  --prog "$build/trcmd" --prog "$build/hello_trace" --file "$build/libqptrace1.so" \
  >"$work.log" 2>&1 || status=$?
sed -n '/^demo: begin$/,/^demo: end$/p' "$work/console.txt" 2>/dev/null | sed '1d;$d'
if [ "$status" != 0 ]; then
  echo "demo: the VM run failed; its log:" >&2
  tail -n 30 "$work.log" >&2
  exit "$status"
fi
echo
echo "demo: done (console log: $work/console.txt)"
