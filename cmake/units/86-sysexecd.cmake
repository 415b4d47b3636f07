# The execution service's root daemon: its request checks, size caps and
# busy state (area sysexecd), and their host tests on byte records. The
# commands daemon, proxy and start are static registrations: they go into the
# program itself, where nothing would pull them out of an archive.
qp_area(sysexecd base/qpsysexecd.cpp)
target_sources(qpsysexec PRIVATE ${CMAKE_SOURCE_DIR}/base/qpsysexecdnix.cpp)

qp_unit_test(qpsysexecd tests/qpsysexecd_test.cpp AREAS sysexecd env fmt str sync core)
target_include_directories(test_qpsysexecd PRIVATE ${CMAKE_SOURCE_DIR}/base)
set_tests_properties(qpsysexecd PROPERTIES LABELS "unit;tsan")

# End to end in the test VM, against the real installed program: a probe
# program that reports what it was started with, and a raw client of the
# wire format written without the library (both static).
if(COMMAND qp_vm_test AND TARGET qpsysexec)
  add_executable(sysexecd_child ${CMAKE_SOURCE_DIR}/tests/vm/sysexecd_child.c)
  target_link_options(sysexecd_child PRIVATE -static)
  add_executable(sysexec_rawclient ${CMAKE_SOURCE_DIR}/tests/vm/sysexec_rawclient.c)
  target_link_options(sysexec_rawclient PRIVATE -static)
  qp_vm_test(vm_sysexecd sysexecd_guest.sh --prog $<TARGET_FILE:qpsysexec>
    --prog $<TARGET_FILE:sysexecd_child> --prog $<TARGET_FILE:sysexec_rawclient>)
  # The figures: start against /bin/true and su, the daemon's memory.
  qp_vm_test(vm_sysexec_bench sysexec_bench_guest.sh --prog $<TARGET_FILE:qpsysexec>
    --prog $<TARGET_FILE:sysexec_rawclient> --timeout 420)
  set_tests_properties(vm_sysexec_bench PROPERTIES TIMEOUT 480)
endif()

qp_fuzz(qpsysexecd tests/fuzz/qpsysexecd_fuzz.cpp AREAS sysexecd env fmt str sync core)
if(TARGET fuzz_qpsysexecd)
  target_include_directories(fuzz_qpsysexecd PRIVATE ${CMAKE_SOURCE_DIR}/base)
endif()

# The start request in process, under the debug heap's leak check; it needs
# the approval store under /etc: root in a private mount namespace.
qp_unit_test(qpsysexecdnix tests/qpsysexecdnix_test.cpp base/qpsysexecdnix.cpp
  AREAS sysexecd sysexec LIBS qpbase)
target_include_directories(test_qpsysexecdnix PRIVATE ${CMAKE_SOURCE_DIR}/base)
add_test(NAME qpsysexecdnix_private_system
  COMMAND ${CMAKE_SOURCE_DIR}/tests/sysexec/private_system.sh $<TARGET_FILE:test_qpsysexecdnix>)
set_tests_properties(qpsysexecdnix_private_system PROPERTIES LABELS "unit;tsan" TIMEOUT 120)
