# The character-device and ioctl framework's tests: the test owner module
# qpcdevtest, the kernel-client module qpcdevtest_kclient, the user-mode
# request tests and their VM boot. The framework itself is built into
# qptrace (kernel/Kbuild).
if(NOT QP_KERNEL_MODULE OR NOT QP_VM_TESTS OR NOT TARGET qptrace_module)
  return()
endif()

# Each test module is built in a folder of its own from the source tree's
# kernel/, base/ and include/ and its one test source. The copies keep their
# sources' times, so kbuild runs whenever any source changed (the folder's
# Kbuild file keeps an old time and says nothing).
function(qp_cdev_test_module target folder source module)
  set(dir ${CMAKE_BINARY_DIR}/${folder})
  set(inputs ${qp_kernel_inputs} ${CMAKE_SOURCE_DIR}/tests/vm/${source}
    ${CMAKE_SOURCE_DIR}/tests/vm/cdevtest.h ${CMAKE_SOURCE_DIR}/tests/vm/cdevtest.Kbuild
    ${CMAKE_SOURCE_DIR}/tests/vm/mkcdevtest.sh)
  add_custom_command(OUTPUT ${dir}/Kbuild
    COMMAND ${CMAKE_SOURCE_DIR}/tests/vm/mkcdevtest.sh ${CMAKE_SOURCE_DIR} ${dir}
      ${CMAKE_SOURCE_DIR}/tests/vm/${source}
    DEPENDS ${inputs}
    COMMENT "module folder ${folder}"
    VERBATIM)
  qp_kbuild(${target} ${dir} ${QP_VM_HEADERS} MODULES ${module} DEPENDS ${dir}/Kbuild ${inputs})
endfunction()
qp_cdev_test_module(qpcdevtest_module cdevtest cdevtest.c qpcdevtest.ko)
qp_cdev_test_module(qpcdevtest_kclient_module cdevclient cdevclient.c qpcdevtest_kclient.ko)

add_executable(cdev_test ${CMAKE_SOURCE_DIR}/tests/vm/cdev_test.cpp ${CMAKE_SOURCE_DIR}/tests/testmain.cpp)
target_include_directories(cdev_test PRIVATE ${CMAKE_SOURCE_DIR}/tests/vm)
target_link_libraries(cdev_test PRIVATE qp_core qp_sync GTest::gtest Threads::Threads)

qp_vm_test(vm_cdev cdev_guest.sh
  --module ${CMAKE_BINARY_DIR}/cdevtest/qpcdevtest.ko
  --module ${CMAKE_BINARY_DIR}/cdevclient/qpcdevtest_kclient.ko
  --module ${qp_kmod_dir}/qptrace/qptrace.ko --prog $<TARGET_FILE:cdev_test>)
