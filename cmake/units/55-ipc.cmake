# Area ipc: named local sockets and their listener, descriptor passing, the
# asynchronous I/O workers and their poll set, the lock file, the console
# pump and the process signals (operating-system side, listener, sender).
qp_area(ipc
  base/qpsocketnix.cpp base/qpasyncnix.cpp base/lockfile.c base/consolepump.c
  base/procsignix.cpp base/procsigsock.c)

set(QP_IPC_TEST_AREAS ipc env tree trimp trimpnix fmt str sync core)
qp_unit_test(qpasync tests/qpasync_test.cpp AREAS trace ${QP_IPC_TEST_AREAS} LIBS util)

qp_unit_test(qpsocket tests/qpsocket_test.cpp AREAS ${QP_IPC_TEST_AREAS})

# A second process for the lock-file and process-signal tests.
add_executable(ipc_probe tests/ipc_probe.cpp)
qp_area_group(qp_ipc_probe_group ${QP_IPC_TEST_AREAS})
target_link_libraries(ipc_probe PRIVATE ${qp_ipc_probe_group} Threads::Threads ${CMAKE_DL_LIBS})
qp_unit_test(lockfile tests/lockfile_test.cpp AREAS ${QP_IPC_TEST_AREAS} LIBS util)
target_compile_definitions(test_lockfile PRIVATE IPC_PROBE="$<TARGET_FILE:ipc_probe>")
add_dependencies(test_lockfile ipc_probe)
qp_unit_test(procsig tests/procsig_test.cpp AREAS ${QP_IPC_TEST_AREAS})
target_compile_definitions(test_procsig PRIVATE IPC_PROBE="$<TARGET_FILE:ipc_probe>")
add_dependencies(test_procsig ipc_probe)
# Workers, listener threads and pumps also run under ThreadSanitizer.
set_tests_properties(qpasync qpsocket lockfile procsig PROPERTIES LABELS "unit;tsan")

qp_fuzz(fdpass tests/fuzz/fdpass_fuzz.cpp AREAS ${QP_IPC_TEST_AREAS})
qp_bench(qpasync bench/qpasync_bench.cpp AREAS ${QP_IPC_TEST_AREAS})
