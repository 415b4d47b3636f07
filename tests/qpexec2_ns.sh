#!/bin/sh
# Runs a test program in a private mount namespace whose /tmp and
# /usr/local/bin are empty scratch folders, so that the execution service's
# request socket and program can be planted without touching the machine's.
# Exits 77 (skipped) where no such namespace can be made (not root).
unshare -m --propagation private true 2>/dev/null || exit 77
exec unshare -m --propagation private sh -c '
  mount -t tmpfs qpexec-tmp /tmp && mount -t tmpfs qpexec-bin /usr/local/bin &&
  QP_EXEC_PRIVATE_MOUNTS=1 exec "$@"' sh "$@"
