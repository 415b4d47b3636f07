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
if(TARGET qpsysexec AND TARGET qptrace1 AND TARGET trcmd AND DEFINED qp_kmod_archive)
  set(qp_stage_dir ${CMAKE_BINARY_DIR}/stage)
  add_custom_target(stage ALL
    COMMAND ${CMAKE_COMMAND} -E make_directory ${qp_stage_dir}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:trsetup> $<TARGET_FILE:trstart>
      $<TARGET_FILE:trcmd> $<TARGET_FILE:qpsysexec> $<TARGET_FILE:qptrace1> ${qp_kmod_archive}
      ${qp_stage_dir}
    DEPENDS trsetup trstart trcmd qpsysexec qptrace1 ${qp_kmod_archive}
    COMMENT "install folder build/stage"
    VERBATIM)
endif()
