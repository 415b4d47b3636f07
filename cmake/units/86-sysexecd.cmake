# The execution service's root daemon: its request checks, size caps and
# busy state (area sysexecd), and their host tests on byte records.
qp_area(sysexecd base/qpsysexecd.cpp)

qp_unit_test(qpsysexecd tests/qpsysexecd_test.cpp AREAS sysexecd env fmt str sync core)
target_include_directories(test_qpsysexecd PRIVATE ${CMAKE_SOURCE_DIR}/base)
set_tests_properties(qpsysexecd PROPERTIES LABELS "unit;tsan")
