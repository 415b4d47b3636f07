# Area exec: process objects (local kind, service kind, UTF-8 wrapper).
qp_area(exec base/qpexec.cpp)

set(QP_EXEC_TEST_AREAS exec env fmt str sync core)
qp_unit_test(qpexec tests/qpexec_test.cpp AREAS ${QP_EXEC_TEST_AREAS})
set_tests_properties(qpexec PROPERTIES LABELS "unit;tsan")
