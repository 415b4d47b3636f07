# Area inst: the install steps (copies, deletes, commands with their output
# pumped line by line, approvals, the kernel-module build and load).
qp_area(inst base/qpinst.cpp base/qpinstnix.cpp)

set(QP_INST_TEST_AREAS inst exec env fmt str sync core)
qp_unit_test(qpinst tests/qpinst_test.cpp AREAS ${QP_INST_TEST_AREAS})

# Runs one step per call for the host and VM tests of approvals and kernel
# modules.
add_executable(qpinst_probe tests/qpinst_probe.cpp)
qp_area_group(qp_inst_probe_group ${QP_INST_TEST_AREAS})
target_link_libraries(qpinst_probe PRIVATE ${qp_inst_probe_group} Threads::Threads ${CMAKE_DL_LIBS})

# Approval and revocation against a stand-in service program, in a private
# mount namespace (/usr/local/bin is a scratch folder there).
add_test(NAME qpinst_approve
  COMMAND unshare -m ${CMAKE_SOURCE_DIR}/tests/qpinst_approve_test.sh $<TARGET_FILE:qpinst_probe>
    ${CMAKE_BINARY_DIR}/qpinst-approve)
set_tests_properties(qpinst_approve PROPERTIES LABELS unit TIMEOUT 120)
