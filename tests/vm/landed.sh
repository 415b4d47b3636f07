#!/bin/sh
# Builds the trace library and the driver of an earlier commit (one from
# before the readers' wait and read-lines requests), so that the VM tests
# can check the new programs against the old driver and the old library
# against the new driver.
#
#   landed.sh <source tree> <commit> <work folder> <kernel build tree>
#
# Writes <work>/libqptrace1-landed.so and <work>/qptrace-landed.ko. When the
# commit is not in the tree's history (a shallow clone) both are left empty
# and the guest script reports the checks that need them as failed.
set -eu
src=$1 commit=$2 work=$3 tree=$4
mkdir -p "$work"
rm -rf "$work/src"
mkdir "$work/src"
lib=$work/libqptrace1-landed.so ko=$work/qptrace-landed.ko
if ! git -C "$src" archive "$commit" | tar -x -C "$work/src"; then
  echo "landed.sh: commit $commit is not in the history of $src" >&2
  : >"$lib"
  : >"$ko"
  exit 0
fi
launchers=""
if command -v ccache >/dev/null; then
  launchers="-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
fi
# shellcheck disable=SC2086
cmake -S "$work/src" -B "$work/build" -G Ninja -DQP_VM_TESTS=OFF -DQP_KERNEL_MODULE=ON \
  -DQP_KERNEL_BUILD="$tree" $launchers >"$work/build.log" 2>&1
cmake --build "$work/build" --target qptrace1 qptrace_module >>"$work/build.log" 2>&1 ||
  { tail -n 30 "$work/build.log" >&2; exit 1; }
cp "$work/build/libqptrace1.so" "$lib"
cp "$work/build/kmod/qptrace/qptrace.ko" "$ko"
