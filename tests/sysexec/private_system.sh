#!/bin/sh
# Runs a command as root in a private mount namespace in which /etc is a
# writable overlay of the real one, and /usr/local/bin and /tmp are empty
# scratch folders, so that tests may create keys under /etc, install
# programs and listen on named sockets without touching the host's system
# folders or meeting another test's sockets. The command sees
# QP_PRIVATE_SYSTEM=1. Everything written is gone when the command ends.
# Exits 77 (skipped) where no such namespace can be made (not root).
#
#   private_system.sh <program> [<arg> ...]
set -eu
unshare -m --propagation private true 2>/dev/null || { echo "skipped: needs root (unshare -m)"; exit 77; }
scratch=$(mktemp -d /tmp/qp_private_system.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/upper" "$scratch/work"
status=0
QP_PRIVATE_SYSTEM=1 unshare -m --propagation private sh -c '
  set -e
  mount -t overlay overlay -o "lowerdir=/etc,upperdir=$0/upper,workdir=$0/work" /etc
  [ -d /usr/local/bin ] || { echo "private_system.sh: no /usr/local/bin to cover"; exit 1; }
  mount -t tmpfs -o mode=0755 tmpfs /usr/local/bin
  mount -t tmpfs -o mode=1777 tmpfs /tmp
  exec "$@"' "$scratch" "$@" || status=$?
exit $status
