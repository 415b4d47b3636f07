# Area env: process facts, environment, the path algebra and the file services.
qp_area(env
  base/qpsys.c base/qpenv.cpp base/qpsysnix.cpp base/fileionix.cpp base/qplistnix.cpp)

set(QP_ENV_TEST_AREAS env fmt str sync core)
qp_unit_test(qpsys tests/qpsys_test.cpp AREAS ${QP_ENV_TEST_AREAS})
qp_unit_test(fileionix tests/fileionix_test.cpp AREAS ${QP_ENV_TEST_AREAS})
qp_unit_test(qplistnix tests/qplistnix_test.cpp AREAS ${QP_ENV_TEST_AREAS})
qp_unit_test(qpsysnix tests/qpsysnix_test.cpp AREAS ${QP_ENV_TEST_AREAS})

# A small program the process-record tests start with chosen argv[0],
# environment and folder.
add_executable(env_probe tests/env_probe.cpp)
qp_area_group(qp_env_probe_group ${QP_ENV_TEST_AREAS})
target_link_libraries(env_probe PRIVATE ${qp_env_probe_group} Threads::Threads ${CMAKE_DL_LIBS})
qp_unit_test(qpenv tests/qpenv_test.cpp AREAS ${QP_ENV_TEST_AREAS})
target_compile_definitions(test_qpenv PRIVATE ENV_PROBE="$<TARGET_FILE:env_probe>")
add_dependencies(test_qpenv env_probe)
# First use of the process record races between threads.
set_tests_properties(qpenv PROPERTIES LABELS "unit;tsan")

qp_fuzz(qpsys tests/fuzz/qpsys_fuzz.cpp AREAS env core sync)
