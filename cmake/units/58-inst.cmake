# Area inst: the install steps (copies, deletes, commands with their output
# pumped line by line, approvals, the kernel-module build and load).
qp_area(inst base/qpinst.cpp base/qpinstnix.cpp)

set(QP_INST_TEST_AREAS inst env fmt str sync core)
qp_unit_test(qpinst tests/qpinst_test.cpp AREAS ${QP_INST_TEST_AREAS})
