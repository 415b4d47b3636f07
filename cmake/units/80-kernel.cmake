# The kernel module qptrace, its archive qptrace.kmod, the kernel-client test
# module, the programs that run inside the test VM and the VM tests.
#
#   QP_KERNEL_BUILD   the kernel build tree the module is built against: the
#                     running kernel's when it has one, else the VM kernel's
#   QP_VM_KERNEL      the kernel image the VM tests boot, and
#   QP_VM_HEADERS     the headers of the same release (Debian's
#                     linux-image-amd64 and linux-headers-amd64)
# The VM tests need the module built for the VM kernel: they are registered
# against QP_VM_HEADERS, which is QP_KERNEL_BUILD unless both are set apart.
option(QP_KERNEL_MODULE "Build the kernel module, its archive and the VM programs" ${QP_VM_TESTS})
if(NOT QP_KERNEL_MODULE)
  return()
endif()

# The newest /boot/vmlinuz-<release> that has /usr/src/linux-headers-<release>.
function(qp_find_vm_kernel)
  file(GLOB images /boot/vmlinuz-*)
  list(SORT images COMPARE NATURAL ORDER DESCENDING)
  foreach(image ${images})
    string(REGEX REPLACE "^/boot/vmlinuz-" "" release "${image}")
    if(EXISTS /usr/src/linux-headers-${release}/include/generated/utsrelease.h)
      set(QP_VM_KERNEL ${image} CACHE FILEPATH "Kernel image booted by the VM tests")
      set(QP_VM_HEADERS /usr/src/linux-headers-${release} CACHE PATH "Headers of the VM kernel")
      return()
    endif()
  endforeach()
  set(QP_VM_KERNEL "" CACHE FILEPATH "Kernel image booted by the VM tests")
  set(QP_VM_HEADERS "" CACHE PATH "Headers of the VM kernel")
endfunction()
qp_find_vm_kernel()

execute_process(COMMAND uname -r OUTPUT_VARIABLE qp_running_release OUTPUT_STRIP_TRAILING_WHITESPACE)
if(EXISTS /lib/modules/${qp_running_release}/build)
  set(qp_default_kernel_build /lib/modules/${qp_running_release}/build)
else()
  set(qp_default_kernel_build "${QP_VM_HEADERS}")
endif()
set(QP_KERNEL_BUILD "${qp_default_kernel_build}" CACHE PATH "Kernel build tree for the module")

set(qp_kmod_dir ${CMAKE_BINARY_DIR}/kmod)
set(qp_kmod_archive ${CMAKE_BINARY_DIR}/qptrace.kmod)
set(qp_kernel_flags "")
if(QP_WERROR)
  set(qp_kernel_flags KCFLAGS=-Werror)
endif()
file(GLOB qp_kernel_inputs CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/kernel/* ${CMAKE_SOURCE_DIR}/include/*.h
  ${CMAKE_SOURCE_DIR}/base/*.c ${CMAKE_SOURCE_DIR}/base/*.h
  ${CMAKE_SOURCE_DIR}/trace/*.c ${CMAKE_SOURCE_DIR}/trace/*.h)

# Build a module folder with kbuild (make -C <tree> M=<folder>):
#   qp_kbuild(target folder tree MODULES a.ko... DEPENDS files...)
function(qp_kbuild target folder tree)
  cmake_parse_arguments(K "" "" "MODULES;DEPENDS" ${ARGN})
  list(TRANSFORM K_MODULES PREPEND ${folder}/ OUTPUT_VARIABLE outputs)
  add_custom_command(OUTPUT ${outputs}
    COMMAND make -s -C ${folder} KDIR=${tree} ${qp_kernel_flags}
    DEPENDS ${K_DEPENDS}
    COMMENT "kbuild ${K_MODULES} against ${tree}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${outputs})
endfunction()

if(NOT QP_KERNEL_BUILD OR NOT EXISTS ${QP_KERNEL_BUILD}/Makefile)
  message(WARNING "No kernel build tree (QP_KERNEL_BUILD): the module is not built; tools/setup.sh installs linux-headers-amd64")
  add_test(NAME kernel_build_tree COMMAND sh -c "echo 'no kernel build tree: install linux-headers-amd64 (tools/setup.sh)'; exit 1")
  return()
endif()

# The folder the module is built in holds the files of the archive.
add_custom_command(OUTPUT ${qp_kmod_dir}/qptrace/Kbuild
  COMMAND ${CMAKE_SOURCE_DIR}/tools/mkkmod.sh ${CMAKE_SOURCE_DIR} ${qp_kmod_dir}/qptrace
  DEPENDS ${qp_kernel_inputs} ${CMAKE_SOURCE_DIR}/tools/mkkmod.sh
  COMMENT "module folder"
  VERBATIM)
qp_kbuild(qptrace_module ${qp_kmod_dir}/qptrace ${QP_KERNEL_BUILD} MODULES qptrace.ko
  DEPENDS ${qp_kmod_dir}/qptrace/Kbuild)
# qptrace.kmod, with a precompiled module for each release QP_KMOD_PRECOMPILED
# names (58-inst.cmake).
qp_kmod_archive(qptrace_archive ${qp_kmod_archive} ${QP_KMOD_PRECOMPILED})

# Unpacking the archive and running make builds the module.
add_test(NAME kmod_archive
  COMMAND ${CMAKE_SOURCE_DIR}/tests/vm/kmod_test.sh ${qp_kmod_archive} ${QP_KERNEL_BUILD}
    ${CMAKE_BINARY_DIR}/kmod-test)
set_tests_properties(kmod_archive PROPERTIES LABELS kernel TIMEOUT 300)

# ---- VM tests ------------------------------------------------------------------

if(NOT QP_VM_TESTS)
  return()
endif()

# The test modules: a kernel client (the attach code and a tiny module using
# it) and a blocker that makes qptrace's load fail.
set(qp_kclient_dir ${CMAKE_BINARY_DIR}/kclient)
set(qp_kclient_sources
  ${CMAKE_SOURCE_DIR}/tests/vm/kclient.c ${CMAKE_SOURCE_DIR}/tests/vm/kblock.c
  ${CMAKE_SOURCE_DIR}/tests/vm/kclient.Kbuild
  ${CMAKE_SOURCE_DIR}/kernel/trimpklin.c ${CMAKE_SOURCE_DIR}/kernel/trimpklin.h
  ${CMAKE_SOURCE_DIR}/base/trace/trimp.c)
add_custom_command(OUTPUT ${qp_kclient_dir}/Kbuild
  COMMAND ${CMAKE_COMMAND} -E make_directory ${qp_kclient_dir}/include
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${CMAKE_SOURCE_DIR}/tests/vm/kclient.c
    ${CMAKE_SOURCE_DIR}/tests/vm/kblock.c
    ${CMAKE_SOURCE_DIR}/kernel/trimpklin.c ${CMAKE_SOURCE_DIR}/kernel/trimpklin.h
    ${CMAKE_SOURCE_DIR}/base/trace/trimp.c ${CMAKE_SOURCE_DIR}/kernel/Makefile ${qp_kclient_dir}
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${CMAKE_SOURCE_DIR}/tests/vm/kclient.Kbuild
    ${qp_kclient_dir}/Kbuild
  COMMAND sh -c "cp -p ${CMAKE_SOURCE_DIR}/include/*.h ${qp_kclient_dir}/include/"
  DEPENDS ${qp_kclient_sources} ${qp_kernel_inputs}
  VERBATIM)
qp_kbuild(qptrace_test_modules ${qp_kclient_dir} ${QP_VM_HEADERS}
  MODULES qptrace_kclient.ko qptrace_kblock.ko DEPENDS ${qp_kclient_dir}/Kbuild)

# Programs run inside the VM.
add_executable(traceio_test ${CMAKE_SOURCE_DIR}/tests/vm/traceio_test.cpp ${CMAKE_SOURCE_DIR}/tests/testmain.cpp)
target_link_libraries(traceio_test PRIVATE qp_core qp_sync GTest::gtest Threads::Threads)
add_executable(vm_trace_bench ${CMAKE_SOURCE_DIR}/bench/vm_trace_bench.cpp)
# Every guest has /bin/runas to run a program as an ordinary user.
add_executable(runas ${CMAKE_SOURCE_DIR}/tests/vm/runas.c)
target_link_options(runas PRIVATE -static)
target_link_libraries(vm_trace_bench PRIVATE benchmark::benchmark Threads::Threads)

set(qp_vm_missing "")
get_filename_component(qp_tree_real "${QP_KERNEL_BUILD}" REALPATH)
get_filename_component(qp_vm_real "${QP_VM_HEADERS}" REALPATH)
if(NOT QP_VM_KERNEL OR NOT EXISTS "${QP_VM_KERNEL}")
  set(qp_vm_missing "no kernel image with matching headers under /boot and /usr/src (linux-image-amd64, linux-headers-amd64)")
elseif(NOT qp_tree_real STREQUAL qp_vm_real)
  set(qp_vm_missing "the module is built against ${QP_KERNEL_BUILD}, the VM boots ${QP_VM_KERNEL}: set QP_KERNEL_BUILD=${QP_VM_HEADERS}")
endif()

# One boot per guest script; each writes its console log under vm/<name>.
function(qp_vm_test name script)
  if(qp_vm_missing)
    add_test(NAME ${name} COMMAND sh -c "echo 'vm test ${name}: ${qp_vm_missing}'; exit 1")
  else()
    add_test(NAME ${name}
      COMMAND ${CMAKE_SOURCE_DIR}/tests/vm/vmrun.sh --kernel ${QP_VM_KERNEL} --headers ${QP_VM_HEADERS}
        --script ${CMAKE_SOURCE_DIR}/tests/vm/${script} --work ${CMAKE_BINARY_DIR}/vm/${name}
        --timeout 200 --prog $<TARGET_FILE:runas> ${ARGN})
  endif()
  set_tests_properties(${name} PROPERTIES LABELS vm TIMEOUT 240)
endfunction()

qp_vm_test(vm_driver driver_guest.sh
  --module ${qp_kmod_dir}/qptrace/qptrace.ko --module ${qp_kclient_dir}/qptrace_kclient.ko
  --module ${qp_kclient_dir}/qptrace_kblock.ko --prog $<TARGET_FILE:traceio_test>)
qp_vm_test(vm_bench bench_guest.sh
  --module ${qp_kmod_dir}/qptrace/qptrace.ko --prog $<TARGET_FILE:vm_trace_bench>)
