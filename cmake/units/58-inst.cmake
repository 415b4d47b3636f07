# Area inst: the install steps (copies, deletes, commands with their output
# pumped line by line, approvals, the kernel-module build and load).
qp_area(inst base/qpinst.cpp base/qpinstnix.cpp)

set(QP_INST_TEST_AREAS inst ${QP_EXEC_TEST_AREAS})
qp_unit_test(qpinst tests/qpinst_test.cpp AREAS ${QP_INST_TEST_AREAS})
set_tests_properties(qpinst PROPERTIES LABELS "unit;tsan")

# Runs one step per call for the host and VM tests of approvals and kernel
# modules.
add_executable(qpinst_probe tests/qpinst_probe.cpp)
qp_area_group(qp_inst_probe_group ${QP_INST_TEST_AREAS})
target_link_libraries(qpinst_probe PRIVATE ${qp_inst_probe_group} Threads::Threads ${CMAKE_DL_LIBS})

# Approval and revocation against a stand-in service program, in a private
# mount namespace (/usr/local/bin is a scratch folder there).
add_test(NAME qpinst_approve
  COMMAND ${CMAKE_SOURCE_DIR}/tests/qpinst_approve_test.sh $<TARGET_FILE:qpinst_probe>
    ${CMAKE_BINARY_DIR}/qpinst-approve)
set_tests_properties(qpinst_approve PROPERTIES LABELS unit TIMEOUT 120 SKIP_RETURN_CODE 77)

# ---- precompiled modules in the module archive -------------------------------------
#
# QP_KMOD_PRECOMPILED: kernel releases (for example 6.1.0-57-amd64) whose
# module qptrace.kmod also carries as qptrace-<normalised release>.ko, built
# against /usr/src/linux-headers-<release> (or /lib/modules/<release>/build),
# so that a machine without a compiler or kernel headers loads the driver.
set(QP_KMOD_PRECOMPILED "" CACHE STRING "Kernel releases whose precompiled module qptrace.kmod carries")
set(QP_KMOD_MACHINE ${CMAKE_HOST_SYSTEM_PROCESSOR} CACHE STRING "Machine (uname -m) of the precompiled modules")

add_executable(qpinst_kmodname tools/kmodname.cpp)
qp_area_group(qp_inst_kmodname_group ${QP_INST_TEST_AREAS})
target_link_libraries(qpinst_kmodname PRIVATE ${qp_inst_kmodname_group} Threads::Threads ${CMAKE_DL_LIBS})

# qp_precompiled_module(out release): the qptrace.ko built for release; the
# module of the build when the build tree is that release's.
function(qp_precompiled_module out release)
  set(tree /usr/src/linux-headers-${release})
  if(NOT EXISTS ${tree}/Makefile)
    set(tree /lib/modules/${release}/build)
  endif()
  if(NOT EXISTS ${tree}/Makefile)
    message(FATAL_ERROR "QP_KMOD_PRECOMPILED: no kernel build tree for ${release}")
  endif()
  get_filename_component(tree_real ${tree} REALPATH)
  get_filename_component(build_real "${QP_KERNEL_BUILD}" REALPATH)
  if(tree_real STREQUAL build_real)
    set(${out} ${qp_kmod_dir}/qptrace/qptrace.ko PARENT_SCOPE)
    return()
  endif()
  string(MAKE_C_IDENTIFIER ${release} id)
  set(folder ${CMAKE_BINARY_DIR}/kmod-${release}/qptrace)
  if(NOT TARGET qptrace_module_${id})
    add_custom_command(OUTPUT ${folder}/Kbuild
      COMMAND ${CMAKE_SOURCE_DIR}/tools/mkkmod.sh ${CMAKE_SOURCE_DIR} ${folder}
      DEPENDS ${qp_kernel_inputs} ${CMAKE_SOURCE_DIR}/tools/mkkmod.sh
      VERBATIM)
    qp_kbuild(qptrace_module_${id} ${folder} ${tree} MODULES qptrace.ko DEPENDS ${folder}/Kbuild)
  endif()
  set(${out} ${folder}/qptrace.ko PARENT_SCOPE)
endfunction()

# qp_kmod_archive(target archive releases...): the module archive with a
# precompiled module for each release, packed from a folder of its own.
function(qp_kmod_archive target archive)
  set(options "")
  set(modules "")
  foreach(release ${ARGN})
    qp_precompiled_module(ko ${release})
    list(APPEND modules ${ko})
    string(APPEND options " --precompiled '${ko}' \"$(\"$0\" qptrace '${release}' '${QP_KMOD_MACHINE}')\"")
  endforeach()
  add_custom_command(OUTPUT ${archive}
    COMMAND sh -ec "exec '${CMAKE_SOURCE_DIR}/tools/mkkmod.sh' ${options} '${CMAKE_SOURCE_DIR}' '${CMAKE_BINARY_DIR}/kmod-pack/${target}/qptrace' '${archive}'"
      $<TARGET_FILE:qpinst_kmodname>
    DEPENDS ${qp_kernel_inputs} ${CMAKE_SOURCE_DIR}/tools/mkkmod.sh ${modules} qpinst_kmodname
    COMMENT "module archive ${archive}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${archive})
endfunction()

# The kernel-module steps on the host (private mount namespace) and in the
# test VM; registered once the kernel fragment has made the archive.
function(qp_inst_kernel_tests)
  if(NOT TARGET qptrace_archive)
    return()
  endif()
  add_test(NAME qpinst_kmod
    COMMAND ${CMAKE_SOURCE_DIR}/tests/qpinst_kmod_test.sh $<TARGET_FILE:qpinst_probe>
      ${qp_kmod_archive} ${QP_KERNEL_BUILD} ${CMAKE_BINARY_DIR}/qpinst-kmod)
  set_tests_properties(qpinst_kmod PROPERTIES LABELS kernel TIMEOUT 900 SKIP_RETURN_CODE 77)
  if(NOT COMMAND qp_vm_test OR NOT QP_VM_HEADERS)
    return()
  endif()
  file(STRINGS ${QP_VM_HEADERS}/include/generated/utsrelease.h vm_release_line REGEX "UTS_RELEASE")
  string(REGEX REPLACE ".*\"(.*)\".*" "\\1" vm_release "${vm_release_line}")
  qp_kmod_archive(qpinst_vm_archive ${CMAKE_BINARY_DIR}/vm-kmod/qptrace.kmod ${vm_release})
  qp_vm_test(vm_inst inst_guest.sh --prog $<TARGET_FILE:qpinst_probe>
    --file ${CMAKE_BINARY_DIR}/vm-kmod/qptrace.kmod)
endfunction()
cmake_language(DEFER CALL qp_inst_kernel_tests)

qp_fuzz(qpinst_pump tests/fuzz/qpinst_pump_fuzz.cpp AREAS ${QP_INST_TEST_AREAS})
