# Area remote: the remote request protocol (user mode) and the remote value
# packing (portable C, also in the kernel module).
qp_area(remote base/qpremote.cpp base/qpremote2.c)
