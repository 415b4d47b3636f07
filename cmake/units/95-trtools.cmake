# The trace tool programs: the start tool trstart and the installer trsetup
# (installed again as the uninstaller truninst), and the staged install
# folder: every file trsetup copies, beside it, with the module archive.
if(NOT TARGET qp_inst OR NOT TARGET qp_trimpnix)
  return()
endif()

foreach(program trstart trsetup)
  set(source trace/${program}.cpp)
  if(program STREQUAL "trsetup")
    set(source trace/trinstnix.cpp)
  endif()
  add_executable(${program} ${CMAKE_SOURCE_DIR}/${source})
  target_link_libraries(${program} PRIVATE qpbase)
endforeach()

# build/stage/: what an administrator runs `trsetup install` from.
if(TARGET qpsysexec AND TARGET qptrace1 AND TARGET trcmd AND TARGET qptrace_archive)
  set(qp_stage_dir ${CMAKE_BINARY_DIR}/stage)
  add_custom_target(stage ALL
    COMMAND ${CMAKE_COMMAND} -E make_directory ${qp_stage_dir}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:trsetup> $<TARGET_FILE:trstart>
      $<TARGET_FILE:trcmd> $<TARGET_FILE:qpsysexec> $<TARGET_FILE:qptrace1> ${qp_kmod_archive}
      ${qp_stage_dir}
    DEPENDS trsetup trstart trcmd qpsysexec qptrace1 qptrace_archive
    COMMENT "install folder build/stage"
    VERBATIM)
endif()

# The whole life of an installation in the test VM, from a staged folder
# whose archive carries the module precompiled for the VM's kernel (the VM
# has no compiler); registered once the install fragment has made that
# archive.
function(qp_trtools_vm_tests)
  if(NOT COMMAND qp_vm_test OR NOT TARGET qpinst_vm_archive OR NOT TARGET qpsysexec)
    return()
  endif()
  set(files "")
  foreach(program trsetup trstart trcmd qpsysexec)
    list(APPEND files --prog $<TARGET_FILE:${program}> --file $<TARGET_FILE:${program}>)
  endforeach()
  qp_vm_test(vm_install install_guest.sh ${files} --file $<TARGET_FILE:qptrace1>
    --file ${CMAKE_BINARY_DIR}/vm-kmod/qptrace.kmod)
  add_dependencies(trsetup qpinst_vm_archive)
endfunction()
cmake_language(DEFER CALL qp_trtools_vm_tests)
