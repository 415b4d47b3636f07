# Area exec: process objects (the local kind, the service kind that reaches
# the execution service's daemon, the UTF-8 wrapper).
qp_area(exec base/qpexec.cpp base/qpexec2.cpp)

set(QP_EXEC_TEST_AREAS exec remote ipc env tree trimp trimpnix fmt str sync core)
qp_unit_test(qpexec tests/qpexec_test.cpp AREAS ${QP_EXEC_TEST_AREAS})
set_tests_properties(qpexec PROPERTIES LABELS "unit;tsan")

# The service kind against a fake daemon, a planted listener and no
# listener: the tests run in a private mount namespace with scratch /tmp and
# /usr/local/bin (qpexec2_private_system; skipped where none can be made).
# Run plainly (qpexec2) they skip.
qp_unit_test(qpexec2 tests/qpexec2_test.cpp AREAS ${QP_EXEC_TEST_AREAS})
add_test(NAME qpexec2_private_system
  COMMAND ${CMAKE_SOURCE_DIR}/tests/sysexec/private_system.sh $<TARGET_FILE:test_qpexec2>)
set_tests_properties(qpexec2_private_system PROPERTIES LABELS "unit;tsan" SKIP_RETURN_CODE 77
  TIMEOUT 300)

qp_bench(qpexec bench/qpexec_bench.cpp AREAS ${QP_EXEC_TEST_AREAS})
