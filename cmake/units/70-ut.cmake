# User text and the command dispatcher.
qp_area(ut base/usertext.cpp base/polymain8.cpp)

set(QP_UT_AREAS ut env tree fmt str sync core)
add_executable(polymain8_sample tests/polymain8_sample.cpp)
qp_area_group(qp_ut_group ${QP_UT_AREAS})
target_link_libraries(polymain8_sample PRIVATE ${qp_ut_group} Threads::Threads)

qp_unit_test(usertext tests/usertext_test.cpp AREAS ${QP_UT_AREAS})
qp_unit_test(polymain8 tests/polymain8_test.cpp AREAS ${QP_UT_AREAS})
target_compile_definitions(test_polymain8 PRIVATE POLYMAIN8_SAMPLE="$<TARGET_FILE:polymain8_sample>")
add_dependencies(test_polymain8 polymain8_sample)
