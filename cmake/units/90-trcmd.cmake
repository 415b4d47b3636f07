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
