# The trace client: the shared library libqptrace1.so (the trace API over
# /dev/qptrace with the base runtime it needs inside), the program-side
# attach code (area trimpnix, in every program), the static client archive
# libqptrace.a with its public header, pkg-config and CMake package files
# for third-party programs, and their tests.
include(GNUInstallDirs)
set(QP_CLIENT_VERSION 5.0.0)

# The attach code and the library use no C++ library: C programs link them
# with the C compiler, and the library depends on the C libraries only.
set(QP_CLIENT_NO_CXX_RUNTIME -fno-exceptions -fno-rtti)

# Instrumented builds are not what ships: their libraries may leave the
# sanitizer runtime to the program, and only the plain build is installed
# and checked from outside.
set(qp_client_instrumented OFF)
if(QP_SANITIZE OR QP_TSAN OR QP_FUZZ)
  set(qp_client_instrumented ON)
endif()

qp_area(trimpnix base/trace/trimpnix.cpp)
target_compile_options(qp_trimpnix PRIVATE ${QP_CLIENT_NO_CXX_RUNTIME})
target_link_libraries(qp_trimpnix INTERFACE ${CMAKE_DL_LIBS})

# qp_client_library(target output_name [device path]): the trace library;
# test builds name a stand-in device node.
function(qp_client_library target output_name)
  add_library(${target} SHARED
    ${CMAKE_SOURCE_DIR}/trace/trdllnix.cpp ${CMAKE_SOURCE_DIR}/trace/trwide.c
    ${CMAKE_SOURCE_DIR}/trace/trexports.c
    # The sync area's platform unit once more, without the C++ runtime; the
    # archive's copy (built with exceptions) is then never pulled in.
    ${CMAKE_SOURCE_DIR}/base/qpsyncnix.cpp)
  qp_area_group(group fmt str sync core)
  target_link_libraries(${target} PRIVATE ${group} Threads::Threads)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${output_name} PREFIX lib
    NO_SONAME ON LINKER_LANGUAGE C
    LINK_DEPENDS ${CMAKE_SOURCE_DIR}/trace/libqptrace1.map)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${QP_CLIENT_NO_CXX_RUNTIME}>)
  target_link_options(${target} PRIVATE
    "LINKER:--version-script=${CMAKE_SOURCE_DIR}/trace/libqptrace1.map"
    "LINKER:-z,now" "LINKER:--as-needed")
  if(NOT qp_client_instrumented)
    target_link_options(${target} PRIVATE "LINKER:--no-undefined")
  endif()
  if(ARGC GREATER 2)
    target_compile_definitions(${target} PRIVATE QP_TRACE_DEVICE_PATH="${ARGV2}")
  endif()
endfunction()

if(NOT TARGET qp_fmt OR NOT TARGET qp_str)
  return()
endif()

qp_client_library(qptrace1 qptrace1)

# The client archive for third-party programs: the wrappers and the attach
# code; they need nothing of the base runtime beyond its headers.
add_library(qptrace STATIC ${CMAKE_SOURCE_DIR}/base/trace/trimp.c
  ${CMAKE_SOURCE_DIR}/base/trace/trimpnix.cpp)
target_compile_options(qptrace PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${QP_CLIENT_NO_CXX_RUNTIME}>)
target_include_directories(qptrace INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/qptrace>)
target_link_libraries(qptrace INTERFACE ${CMAKE_DL_LIBS})
set_target_properties(qptrace PROPERTIES LINKER_LANGUAGE C)

set(QP_CLIENT_DL_FLAG "")
if(CMAKE_DL_LIBS)
  set(QP_CLIENT_DL_FLAG "-l${CMAKE_DL_LIBS}")
endif()
configure_file(${CMAKE_SOURCE_DIR}/cmake/client/qptrace.pc.in ${CMAKE_BINARY_DIR}/client/qptrace.pc @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/cmake/client/qptraceConfig.cmake.in
  ${CMAKE_BINARY_DIR}/client/qptraceConfig.cmake @ONLY)
include(CMakePackageConfigHelpers)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/client/qptraceConfigVersion.cmake
  VERSION ${QP_CLIENT_VERSION} COMPATIBILITY SameMajorVersion)

install(TARGETS qptrace1 LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS qptrace EXPORT qptraceTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/qptrace.h include/qptraces.h include/traces.h include/qpbase.h
  include/qpsync.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qptrace)
install(FILES ${CMAKE_BINARY_DIR}/client/qptrace.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
install(EXPORT qptraceTargets NAMESPACE qptrace:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qptrace)
install(FILES ${CMAKE_BINARY_DIR}/client/qptraceConfig.cmake
  ${CMAKE_BINARY_DIR}/client/qptraceConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qptrace)

# ---- tests -----------------------------------------------------------------------

# Host tests of the attach code and of the library without a driver: a test
# build of each looks for its library and node in client-test/.
set(qp_client_test_dir ${CMAKE_BINARY_DIR}/client-test)
qp_client_library(qptrace1test qptrace1test ${qp_client_test_dir}/qptrace)
foreach(flavour GOOD BADTAG RAISES)
  string(TOLOWER ${flavour} lower)
  add_library(qptracefake_${lower} MODULE ${CMAKE_SOURCE_DIR}/tests/trimpnix_fakelib.c)
  target_compile_definitions(qptracefake_${lower} PRIVATE FAKE_${flavour})
  target_compile_options(qptracefake_${lower} PRIVATE -fvisibility=hidden)
  list(APPEND qp_client_fakes QP_CLIENT_FAKE_${flavour}="$<TARGET_FILE:qptracefake_${lower}>")
endforeach()
qp_unit_test(trimpnix tests/trimpnix_test.cpp base/trace/trimpnix.cpp AREAS trimp core sync)
target_compile_definitions(test_trimpnix PRIVATE
  QP_TRACE_LIBRARY_PATH="${qp_client_test_dir}/libqptrace1.so"
  QP_CLIENT_TEST_DIR="${qp_client_test_dir}"
  QP_CLIENT_TEST_LIBRARY="$<TARGET_FILE:qptrace1test>" ${qp_client_fakes})
add_dependencies(test_trimpnix qptrace1test qptracefake_good qptracefake_badtag qptracefake_raises)
# The attach state is shared by all cases: they run one after the other.
set_tests_properties(trimpnix PROPERTIES RUN_SERIAL ON)

# The library's exports and dependencies, and the installed client files
# used by a small C and C++ program (pkg-config and find_package).
if(NOT qp_client_instrumented)
  add_test(NAME client_install
    COMMAND ${CMAKE_SOURCE_DIR}/tests/client_install_test.sh ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR}
      ${CMAKE_BINARY_DIR}/client-install)
  set_tests_properties(client_install PROPERTIES LABELS unit TIMEOUT 300)
endif()

# The client against the real driver in the test VM, and the print
# benchmark; registered once the kernel fragment has set up the VM harness.
function(qp_client_vm_tests)
  if(NOT COMMAND qp_vm_test OR NOT TARGET qptrace_module)
    return()
  endif()
  add_executable(client_vm_test ${CMAKE_SOURCE_DIR}/tests/vm/client_test.cpp
    ${CMAKE_SOURCE_DIR}/tests/testmain.cpp)
  qp_area_group(group trimpnix trimp fmt str core sync)
  target_link_libraries(client_vm_test PRIVATE ${group} GTest::gtest Threads::Threads)
  set_target_properties(client_vm_test PROPERTIES OUTPUT_NAME client_test)
  add_executable(client_vm_bench ${CMAKE_SOURCE_DIR}/tests/vm/client_bench.cpp)
  target_link_libraries(client_vm_bench PRIVATE ${group} benchmark::benchmark Threads::Threads)
  set_target_properties(client_vm_bench PROPERTIES OUTPUT_NAME client_bench)
  qp_vm_test(vm_client client_guest.sh --module ${qp_kmod_dir}/qptrace/qptrace.ko
    --prog $<TARGET_FILE:client_vm_test> --prog $<TARGET_FILE:client_vm_bench>
    --file $<TARGET_FILE:qptrace1>)
endfunction()
cmake_language(DEFER CALL qp_client_vm_tests)
