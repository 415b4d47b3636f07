#!/usr/bin/env bash
# The module archive unpacks into qptrace/ and a plain make there builds
# qptrace.ko for the given kernel build tree.
#   kmod_test.sh <qptrace.kmod> <kernel build tree> <scratch folder>
set -euo pipefail
archive=$1 tree=$2 scratch=$3
rm -rf "$scratch"
mkdir -p "$scratch"
tar -xzf "$archive" -C "$scratch"
[ "$(ls "$scratch")" = qptrace ] || { echo "FAIL: the archive holds $(ls "$scratch"), not qptrace/"; exit 1; }
make -s -C "$scratch/qptrace" KDIR="$tree" >"$scratch/make.log" 2>&1 || { cat "$scratch/make.log"; echo "FAIL: make"; exit 1; }
release=$(sed -n 's/^#define UTS_RELEASE "\(.*\)"/\1/p' "$tree/include/generated/utsrelease.h")
magic=$(modinfo -F vermagic "$scratch/qptrace/qptrace.ko" | cut -d' ' -f1)
[ "$magic" = "$release" ] || { echo "FAIL: built for $magic, expected $release"; exit 1; }
[ "$(modinfo -F license "$scratch/qptrace/qptrace.ko")" = GPL ] || { echo "FAIL: license"; exit 1; }
echo "kmod: 1 passed, 0 failed"
