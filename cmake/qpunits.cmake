# Helpers for the fragments under cmake/units/. The base runtime is built as
# one static library per area (core, sync, str, fmt, ...); programs link them
# all as one group (target qpbase), tests link the areas they need.
#
#   qp_area(name files...)          a static library qp_<name> of that area's units
#   qp_unit_test(name files... AREAS areas... [LIBS libs...])
#                                   a GoogleTest program run by ctest (label unit),
#                                   linked with the shared test main that checks
#                                   the debug heap after every test
#   qp_bench(name files... AREAS areas... [LIBS libs...])
#                                   a Google Benchmark program (built, not run)

set_property(GLOBAL PROPERTY QP_AREAS "")

function(qp_area name)
  set(files "")
  foreach(f ${ARGN})
    list(APPEND files ${CMAKE_SOURCE_DIR}/${f})
  endforeach()
  add_library(qp_${name} STATIC ${files})
  set_property(GLOBAL APPEND PROPERTY QP_AREAS qp_${name})
endfunction()

# The link line of a set of areas: one group, so that areas may call each
# other in any direction.
function(qp_area_group out)
  set(libs "")
  foreach(a ${ARGN})
    list(APPEND libs qp_${a})
  endforeach()
  string(REPLACE ";" "," joined "${libs}")
  set(${out} "$<LINK_GROUP:RESCAN,${joined}>" PARENT_SCOPE)
endfunction()

function(qp_program_target kind name)
  cmake_parse_arguments(T "" "" "AREAS;LIBS" ${ARGN})
  set(files "")
  foreach(f ${T_UNPARSED_ARGUMENTS})
    list(APPEND files ${CMAKE_SOURCE_DIR}/${f})
  endforeach()
  if(NOT T_AREAS)
    set(T_AREAS core sync)
  endif()
  qp_area_group(group ${T_AREAS})
  if(kind STREQUAL "test")
    add_executable(test_${name} ${files} ${CMAKE_SOURCE_DIR}/tests/testmain.cpp)
    target_link_libraries(test_${name} PRIVATE ${T_LIBS} ${group} GTest::gtest Threads::Threads ${CMAKE_DL_LIBS})
    add_test(NAME ${name} COMMAND test_${name})
    set_tests_properties(${name} PROPERTIES LABELS unit TIMEOUT 300)
  else()
    add_executable(bench_${name} ${files})
    target_link_libraries(bench_${name} PRIVATE ${T_LIBS} ${group} benchmark::benchmark_main Threads::Threads ${CMAKE_DL_LIBS})
  endif()
endfunction()

function(qp_unit_test name)
  qp_program_target(test ${name} ${ARGN})
endfunction()

function(qp_bench name)
  qp_program_target(bench ${name} ${ARGN})
endfunction()

# Called once all fragments are read: qpbase is every area, for programs.
function(qp_finish_libraries)
  get_property(areas GLOBAL PROPERTY QP_AREAS)
  string(REPLACE ";" "," joined "${areas}")
  add_library(qpbase INTERFACE)
  target_link_libraries(qpbase INTERFACE "$<LINK_GROUP:RESCAN,${joined}>" Threads::Threads ${CMAKE_DL_LIBS})
endfunction()

# qp_fuzz(name file AREAS areas...): a libFuzzer target, built only in a clang
# build configured with -DQP_FUZZ=ON. Its test runs it for QP_FUZZ_SECONDS on
# a scratch corpus seeded from tests/fuzz/<name>/ (the seeds stay untouched).
set(QP_FUZZ_SECONDS 20 CACHE STRING "Seconds each fuzz target runs in the suite")
if(QP_FUZZ AND NOT TARGET fuzzers)
  add_custom_target(fuzzers)
endif()
function(qp_fuzz name file)
  if(NOT QP_FUZZ)
    return()
  endif()
  cmake_parse_arguments(F "" "" "AREAS;LIBS" ${ARGN})
  qp_area_group(group ${F_AREAS})
  add_executable(fuzz_${name} ${CMAKE_SOURCE_DIR}/${file})
  target_compile_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(fuzz_${name} PRIVATE ${F_LIBS} ${group} Threads::Threads ${CMAKE_DL_LIBS})
  add_dependencies(fuzzers fuzz_${name})
  set(seeds ${CMAKE_SOURCE_DIR}/tests/fuzz/${name})
  set(work ${CMAKE_BINARY_DIR}/fuzz-corpus/${name})
  set(seedarg "")
  if(EXISTS ${seeds})
    set(seedarg "'${seeds}'")
  endif()
  add_test(NAME fuzz_${name}
    COMMAND sh -c "mkdir -p '${work}' && exec '$<TARGET_FILE:fuzz_${name}>' -max_total_time=${QP_FUZZ_SECONDS} -timeout=10 -rss_limit_mb=2048 -artifact_prefix='${work}/' '${work}' ${seedarg}")
  set_tests_properties(fuzz_${name} PROPERTIES LABELS fuzz TIMEOUT 600)
endfunction()
