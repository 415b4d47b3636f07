# The trace command trcmd: its units (area trcmd, so the host tests can drive
# them against the in-process trace API), the program, the example program
# that traces through the public client API, and their tests. The VM tests
# are registered once the kernel and client fragments have set up the VM
# harness and the library.
if(NOT TARGET qp_ut OR NOT TARGET qp_trimpnix)
  return()
endif()

qp_area(trcmd trace/trcmdout.cpp trace/trcmdchan.cpp trace/trcmdnix.cpp)

set(QP_TRCMD_AREAS trcmd trimpnix trimp ut env tree fmt str sync core)
add_executable(trcmd ${CMAKE_SOURCE_DIR}/trace/trcmd.cpp)
qp_area_group(qp_trcmd_group ${QP_TRCMD_AREAS})
target_link_libraries(trcmd PRIVATE ${qp_trcmd_group} Threads::Threads ${CMAKE_DL_LIBS})

# The example: a C program built against the client archive only, as a
# program outside this tree would be (examples/Makefile does the same with
# pkg-config).
add_executable(hello_trace ${CMAKE_SOURCE_DIR}/examples/hello_trace.c)
target_link_libraries(hello_trace PRIVATE qptrace)

# ---- tests -----------------------------------------------------------------------

# The units against the in-process trace API, and the program without a
# driver (its library path is the fixed one, absent on a build machine).
qp_unit_test(trcmd tests/trcmd_test.cpp AREAS trcmd trace trimp ut env tree fmt str sync core)
target_compile_definitions(test_trcmd PRIVATE TRCMD_PROGRAM="$<TARGET_FILE:trcmd>")
target_include_directories(test_trcmd PRIVATE ${CMAKE_SOURCE_DIR}/trace)
add_dependencies(test_trcmd trcmd)

# Black-box tests of the program against the real driver in the test VM,
# with a writer that traces through the client archive.
if(COMMAND qp_vm_test AND TARGET qptrace_module AND TARGET qptrace1)
  add_executable(trcmd_writer ${CMAKE_SOURCE_DIR}/tests/vm/trcmd_writer.cpp)
  target_link_libraries(trcmd_writer PRIVATE qptrace)
  # The library and driver as they were before waits and batch reads: the
  # new trcmd must work with either, by polling.
  set(QP_LANDED_COMMIT 458f7d6 CACHE STRING "Commit whose library and driver the VM tests run against the new ones")
  set(qp_landed ${CMAKE_BINARY_DIR}/landed)
  add_custom_command(OUTPUT ${qp_landed}/libqptrace1-landed.so ${qp_landed}/qptrace-landed.ko
    COMMAND ${CMAKE_SOURCE_DIR}/tests/vm/landed.sh ${CMAKE_SOURCE_DIR} ${QP_LANDED_COMMIT}
      ${qp_landed} ${QP_KERNEL_BUILD}
    DEPENDS ${CMAKE_SOURCE_DIR}/tests/vm/landed.sh
    COMMENT "library and driver of ${QP_LANDED_COMMIT}"
    VERBATIM)
  add_custom_target(qptrace_landed ALL DEPENDS ${qp_landed}/libqptrace1-landed.so
    ${qp_landed}/qptrace-landed.ko)
  qp_vm_test(vm_trcmd trcmd_guest.sh --module ${qp_kmod_dir}/qptrace/qptrace.ko
    --prog $<TARGET_FILE:trcmd> --prog $<TARGET_FILE:trcmd_writer>
    --prog $<TARGET_FILE:hello_trace> --file $<TARGET_FILE:qptrace1>
    --file ${qp_landed}/libqptrace1-landed.so --file ${qp_landed}/qptrace-landed.ko)
endif()
