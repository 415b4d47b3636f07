# Area ipc: named local sockets and their listener, descriptor passing, the
# asynchronous I/O workers and their poll set, the lock file, the console
# pump and the process signals (operating-system side, listener, sender).
qp_area(ipc
  base/qpsocketnix.cpp base/qpasyncnix.cpp base/lockfile.c base/consolepump.c
  base/procsignix.cpp base/procsigsock.c)

set(QP_IPC_TEST_AREAS ipc env tree trimp trimpnix fmt str sync core)
