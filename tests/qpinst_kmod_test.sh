#!/usr/bin/env bash
# The kernel-module steps on the host, inside a private mount namespace
# (unshare -m): /lib/modules is a scratch folder, "uname" a stand-in that
# gives a chosen release, /sbin/insmod a stand-in that logs. The flow runs
# against a fake kernel build tree whose makefile only leaves a module
# file; the real build runs the project's archive against the kernel
# headers of the given tree.
#   qpinst_kmod_test.sh <qpinst_probe> <qptrace.kmod> <kernel build tree> <scratch folder>
set -uo pipefail
# Runs itself again in a private mount namespace; skipped (77) without root.
if [ -z "${QPINST_IN_NAMESPACE:-}" ]; then
  [ "$(id -u)" = 0 ] || { echo "skipped: needs root for a private mount namespace"; exit 77; }
  QPINST_IN_NAMESPACE=1 exec unshare -m "$0" "$@"
fi
probe=$1 archive=$2 tree=$3 scratch=$4
pass=0 fail=0
check() { # name, command...
  local name=$1; shift
  if "$@"; then pass=$((pass + 1)); else fail=$((fail + 1)); echo "FAIL: $name"; fi
}
contains() { grep -qF -- "$2" <<<"$1"; }
lacks() { ! grep -qF -- "$2" <<<"$1"; }
crc() { python3 -c 'import sys,zlib; print("%08X" % zlib.crc32(open(sys.argv[1],"rb").read()))' "$1"; }

mount --make-rprivate / || { echo "no private mount namespace"; echo "0 passed, 1 failed"; exit 1; }
rm -rf "$scratch"
mkdir -p "$scratch"/{modules,bin,sbin,src,fake}
mount --bind "$scratch/modules" /lib/modules
cp -a /usr/sbin/. "$scratch/sbin/"
rm -f "$scratch/sbin/insmod"
printf '#!/bin/sh\necho "$*" >> %s/insmod.log\nexit $(cat %s/insmod.exit 2>/dev/null || echo 0)\n' \
  "$scratch" "$scratch" > "$scratch/sbin/insmod"
chmod 755 "$scratch/sbin/insmod"
mount --bind "$scratch/sbin" /usr/sbin
printf '#!/bin/sh\ncase "$1" in -r) cat %s/release ;; -m) echo x86_64 ;; *) exec /usr/bin/uname "$@" ;; esac\n' \
  "$scratch" > "$scratch/bin/uname"
chmod 755 "$scratch/bin/uname"
export PATH=$scratch/bin:$PATH
# The probe's texts; a leak or crash at its exit shows as a last line.
run() { "$probe" "$@" 2>&1 || echo "probe exit $?"; }
# The build path is under test: precompiled modules (QP_KMOD_PRECOMPILED)
# are left out of the copy the steps get.
gzip -dc "$archive" > "$scratch/src/qptrace.tar"
tar --delete --wildcards -f "$scratch/src/qptrace.tar" 'qptrace/qptrace-*.ko' 2>/dev/null
gzip -c "$scratch/src/qptrace.tar" > "$scratch/src/qptrace.kmod" && rm "$scratch/src/qptrace.tar"

# ---- the flow against a fake kernel tree ----
release=9.9.9-test
echo $release > "$scratch/release"
kdir=/lib/modules/$release
mfolder=$kdir/qptrace
mkdir -p "$kdir/build"
printf 'modules:\n\techo module > $(M)/qptrace.ko\n' > "$kdir/build/Makefile"
echo "CONFIG_A=y" > "$kdir/build/.config"

out=$(run update qptrace load)
check "no archive" [ "$out" = $'ERROR: Module not installed "/lib/modules/qptrace.kmod"\nerr=2' ]

out=$(run copy_kernel "$scratch/src/sub" qptrace) # the archive is in the parent folder
check "copy_kernel copies" contains "$out" "Copying file \"$scratch/src/qptrace.kmod\" to \"/lib/modules/qptrace.kmod\""
check "copy_kernel unpacks" contains "$out" "NOTE: Running command \"tar xzf /lib/modules/qptrace.kmod -C $kdir\"."
check "copy_kernel builds" contains "$out" "NOTE: Running command \"make -j4 -rR --no-print-directory -C $mfolder\"."
check "copy_kernel succeeds" contains "$out" "err=0"
check "copy_kernel does not load" [ ! -e "$scratch/insmod.log" ]
check "module built" [ "$(cat "$mfolder/qptrace.ko" 2>/dev/null)" = module ]
check "archive check" [ "$(cat "$mfolder/kmod_check.txt" 2>/dev/null)" = "$(crc /lib/modules/qptrace.kmod)" ]
check "config check" cmp -s "$mfolder/config_check.txt" "$kdir/build/.config"
left=$(cd "$mfolder" && find . -name '*.[ch]' -o -name '*.o' -o -name Makefile -o -type d ! -name .)
check "folder cleaned (left: $left)" [ -z "$left" ]
check "kept files reset" [ "$(stat -c %a "$mfolder/Kbuild")" = 644 ]

out=$(run update qptrace load)
check "current: no unpack" lacks "$out" "tar xzf"
check "current: no build" lacks "$out" "make -j4"
check "current: loads" [ "$out" = "$(printf 'NOTE: Running command "/sbin/insmod %s/qptrace.ko".\nerr=0' "$mfolder")" ]
echo 1 > "$scratch/insmod.exit" # already loaded
out=$(run load qptrace)
check "load prints nothing and ignores insmod's status" [ "$out" = "err=0" ]
check "insmod arguments" [ "$(sort -u "$scratch/insmod.log")" = "$mfolder/qptrace.ko" ]
rm "$scratch/insmod.exit"

echo "CONFIG_B=y" >> "$kdir/build/.config"
out=$(run update qptrace)
check "new configuration rebuilds" contains "$out" "make -j4"
check "new configuration recorded" cmp -s "$mfolder/config_check.txt" "$kdir/build/.config"

# A new archive (one more file) makes a new check value.
mkdir -p "$scratch/new/qptrace" && tar xzf "$scratch/src/qptrace.kmod" -C "$scratch/new"
echo extra > "$scratch/new/qptrace/extra.txt"
tar czf /lib/modules/qptrace.kmod -C "$scratch/new" qptrace
out=$(run update qptrace)
check "new archive rebuilds" contains "$out" "make -j4"
check "new archive recorded" [ "$(cat "$mfolder/kmod_check.txt")" = "$(crc /lib/modules/qptrace.kmod)" ]
check "non-matching file kept" [ -f "$mfolder/extra.txt" ]

mv "$kdir/build/Makefile" "$kdir/build/Makefile.off"
echo "CONFIG_C=y" >> "$kdir/build/.config"
out=$(run update qptrace)
check "no kernel source" [ "$out" = "$(printf '%s\n' "NOTE: Running command \"tar xzf /lib/modules/qptrace.kmod -C $kdir\"." \
  "ERROR: No kernel source at \"$kdir\"" "Install matching kernel sources for the running kernel" "err=20")" ]

# A precompiled module for the release: taken without make, then current.
cp -a "$scratch/new/qptrace" "$scratch/pre" && echo precompiled > "$scratch/pre/qptrace-$release.ko"
rm -rf "$scratch/new/qptrace" && mv "$scratch/pre" "$scratch/new/qptrace"
tar czf /lib/modules/qptrace.kmod -C "$scratch/new" qptrace
rm -f "$scratch/insmod.log"
out=$(run update qptrace load)
check "precompiled used" contains "$out" "Using precompiled kernel module qptrace-$release.ko"
check "precompiled copied" [ "$(cat "$mfolder/qptrace.ko")" = precompiled ]
check "precompiled loaded" [ -s "$scratch/insmod.log" ]
check "precompiled recorded" [ "$(cat "$mfolder/kmod_check.txt")" = "$(crc /lib/modules/qptrace.kmod)" ]
check "precompiled cleaned" [ ! -e "$mfolder/qptrace-$release.ko" ] && [ ! -e "$mfolder/Makefile" ]
before=$(stat -c %i:%Y "$mfolder/qptrace.ko")
out=$(run update qptrace load)
check "precompiled current: no unpack" lacks "$out" "tar xzf"
check "precompiled current: module untouched" [ "$(stat -c %i:%Y "$mfolder/qptrace.ko")" = "$before" ]
mv "$kdir/build/Makefile.off" "$kdir/build/Makefile"

# Hostile archives are refused before anything is unpacked: members
# outside qptrace/ and links of any kind.
hostile() { # name, member type (file, symlink, hardlink), member name, link target
  python3 - "$@" <<'PY'
import io, sys, tarfile
kind, name, target = sys.argv[1:4]
with tarfile.open("/lib/modules/qptrace.kmod", "w:gz") as archive:
    for member, data in (("qptrace/Makefile", b"all:\n"), ("qptrace/a.c", b"x")):
        info = tarfile.TarInfo(member); info.size = len(data)
        archive.addfile(info, io.BytesIO(data))
    info = tarfile.TarInfo(name)
    info.type = {"file": tarfile.REGTYPE, "symlink": tarfile.SYMTYPE, "hardlink": tarfile.LNKTYPE}[kind]
    info.linkname = target
    archive.addfile(info, io.BytesIO(b""))
PY
  out=$(run update qptrace)
  check "$1 $2 refused" contains "$out" "err=22"
  check "$1 $2 explained" contains "$out" "ERROR: Module archive \"/lib/modules/qptrace.kmod\" holds"
  check "$1 $2 not unpacked" lacks "$out" "tar xzf"
}
echo victim > "$scratch/victim"
hostile file "$scratch/victim" ""
hostile file qptrace/../../victim ""
hostile file other/a.c ""
hostile file qptrace2/a.c ""
hostile symlink qptrace/etc /etc
hostile symlink qptrace/up ../../..
hostile hardlink qptrace/hard "$scratch/victim"
check "victim untouched" [ "$(cat "$scratch/victim")" = victim ]
check "module folder kept after refusals" [ -f "$mfolder/qptrace.ko" ]

out=$(run delete_kernel qptrace)
check "delete_kernel" [ ! -e /lib/modules/qptrace.kmod ] && [ ! -e "$mfolder" ] && [ -d "$kdir/build" ]

# ---- the real build against the kernel headers ----
hrelease=$(sed -n 's/^#define UTS_RELEASE "\(.*\)"/\1/p' "$tree/include/generated/utsrelease.h")
if [ -z "$hrelease" ]; then
  check "headers release readable" false
else
  echo "$hrelease" > "$scratch/release"
  kdir=/lib/modules/$hrelease
  mfolder=$kdir/qptrace
  mkdir -p "$kdir" && ln -s "$(readlink -f "$tree")" "$kdir/build"
  out=$(run copy_kernel "$scratch/src" qptrace)
  check "real build succeeds" contains "$out" "err=0"
  check "real build was a build" contains "$out" "make -j4"
  magic=$(strings -a "$mfolder/qptrace.ko" 2>/dev/null | sed -n 's/^vermagic=\([^ ]*\).*/\1/p')
  check "vermagic $magic is $hrelease" [ "$magic" = "$hrelease" ]
  check "real archive check" [ "$(cat "$mfolder/kmod_check.txt")" = "$(crc /lib/modules/qptrace.kmod)" ]
  check "real config check" cmp -s "$mfolder/config_check.txt" <(head -c 100000 "$tree/.config")
  left=$(cd "$mfolder" && find . -name '*.[ch]' -o -name '*.o' -o -name '*.cmd' -o -name Makefile -o -type d ! -name .)
  check "real folder cleaned (left: $left)" [ -z "$left" ]
  [ "$fail" -eq 0 ] || { echo "$out" | tail -20; ls -la "$mfolder"; }
fi

echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
