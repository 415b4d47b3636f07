# Area remote: the remote request protocol (user mode) and the remote value
# packing (portable C, also in the kernel module).
qp_area(remote base/qpremote.cpp base/qpremote2.c)

set(QP_REMOTE_TEST_AREAS remote ipc env tree trimp trimpnix fmt str sync core)
qp_unit_test(qpremote2 tests/qpremote2_test.cpp AREAS ${QP_REMOTE_TEST_AREAS})
qp_fuzz(qpremote_unpack tests/fuzz/qpremote_unpack_fuzz.cpp AREAS ${QP_REMOTE_TEST_AREAS})
qp_unit_test(qpremote tests/qpremote_test.cpp AREAS ${QP_REMOTE_TEST_AREAS})
qp_unit_test(qpremote_stress tests/qpremote_stress_test.cpp AREAS ${QP_REMOTE_TEST_AREAS})
set_tests_properties(qpremote_stress PROPERTIES LABELS "unit;tsan")
qp_fuzz(qpremote_read tests/fuzz/qpremote_read_fuzz.cpp AREAS ${QP_REMOTE_TEST_AREAS})
qp_bench(qpremote bench/qpremote_bench.cpp AREAS ${QP_REMOTE_TEST_AREAS})
