# The file key store and the execution service program qpsysexec.
qp_area(filekey base/filekey.cpp)

set(QP_FILEKEY_AREAS filekey env fmt str sync core)
qp_unit_test(filekey tests/filekey_test.cpp AREAS ${QP_FILEKEY_AREAS})
# The same tests with a private /etc, where the system domain is exercised.
add_test(NAME filekey_private_system
  COMMAND ${CMAKE_SOURCE_DIR}/tests/sysexec/private_system.sh $<TARGET_FILE:test_filekey>)
set_tests_properties(filekey_private_system PROPERTIES LABELS unit TIMEOUT 300 SKIP_RETURN_CODE 77)

# The execution service: the store and its commands (area sysexec) and the
# program with its entry and platform commands. Programs link every area.
qp_area(sysexec base/qpsysexec.cpp base/qpsysexecnix.cpp)
add_executable(qpsysexec ${CMAKE_SOURCE_DIR}/base/qpsysexecmain.cpp)
target_link_libraries(qpsysexec PRIVATE qpbase)

# The store, the commands and the program touch /etc, /usr/local/bin and the
# sockets under /tmp: they run only in a private mount namespace.
qp_unit_test(qpsysexec tests/qpsysexec_test.cpp AREAS sysexec LIBS qpbase)
target_compile_definitions(test_qpsysexec PRIVATE QPSYSEXEC_PROGRAM="$<TARGET_FILE:qpsysexec>")
add_dependencies(test_qpsysexec qpsysexec)
add_test(NAME qpsysexec_private_system
  COMMAND ${CMAKE_SOURCE_DIR}/tests/sysexec/private_system.sh $<TARGET_FILE:test_qpsysexec>)
set_tests_properties(qpsysexec_private_system PROPERTIES LABELS unit TIMEOUT 300 SKIP_RETURN_CODE 77)

# The set-user-id behaviour with a real ordinary user, in the test VM.
if(COMMAND qp_vm_test)
  add_executable(sysexec_probe ${CMAKE_SOURCE_DIR}/tests/vm/sysexec_probe.c)
  target_link_options(sysexec_probe PRIVATE -static)
  qp_vm_test(vm_sysexec sysexec_guest.sh
    --prog $<TARGET_FILE:qpsysexec> --prog $<TARGET_FILE:sysexec_probe>)
endif()
