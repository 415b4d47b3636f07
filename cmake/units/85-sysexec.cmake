# The file key store and the execution service program qpsysexec.
qp_area(filekey base/filekey.cpp)

set(QP_FILEKEY_AREAS filekey env fmt str sync core)
qp_unit_test(filekey tests/filekey_test.cpp AREAS ${QP_FILEKEY_AREAS})
# The same tests with a private /etc, where the system domain is exercised.
add_test(NAME filekey_private_system
  COMMAND ${CMAKE_SOURCE_DIR}/tests/sysexec/private_system.sh $<TARGET_FILE:test_filekey>)
set_tests_properties(filekey_private_system PROPERTIES LABELS unit TIMEOUT 300)
