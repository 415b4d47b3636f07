#!/bin/sh
# Runs a command as root in a private mount namespace in which /etc is a
# writable overlay of the real one, and /usr/local/bin and /tmp are empty
# scratch folders, so that tests may create keys under /etc, install
# programs and listen on named sockets without touching the host's system
# folders or meeting another test's sockets. A tree under /tmp that holds
# the current folder or the program (a build in /tmp) stays visible in the
# new /tmp. The command sees QP_PRIVATE_SYSTEM=1. Everything written is
# gone when the command ends. Exits 77 (skipped) where no such namespace
# can be made (not root).
#
#   private_system.sh <program> [<arg> ...]
set -eu
unshare -m --propagation private true 2>/dev/null || { echo "skipped: needs root (unshare -m)"; exit 77; }
scratch=$(mktemp -d /tmp/qp_private_system.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/upper" "$scratch/work" "$scratch/tmp"
# The first folder under /tmp of the current folder and of the program.
keep=$(for path in "$PWD" "$1"; do
  case $path in /tmp/?*) rest=${path#/tmp/}; echo "/tmp/${rest%%/*}" ;; esac
done | sort -u)
status=0
QP_PRIVATE_SYSTEM=1 QP_KEEP_TMP="$keep" unshare -m --propagation private sh -c '
  set -e
  mount -t overlay overlay -o "lowerdir=/etc,upperdir=$0/upper,workdir=$0/work" /etc
  [ -d /usr/local/bin ] || { echo "private_system.sh: no /usr/local/bin to cover"; exit 1; }
  mount -t tmpfs -o mode=0755 tmpfs /usr/local/bin
  mount -t tmpfs -o mode=1777 tmpfs "$0/tmp"
  for kept in $QP_KEEP_TMP; do
    mkdir "$0/tmp/${kept#/tmp/}"
    mount --bind "$kept" "$0/tmp/${kept#/tmp/}"
  done
  mount --move "$0/tmp" /tmp
  unset QP_KEEP_TMP
  cd "$PWD"
  exec "$@"' "$scratch" "$@" || status=$?
exit $status
