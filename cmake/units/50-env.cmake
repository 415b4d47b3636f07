# Area env: process facts, environment, the path algebra and the file services.
qp_area(env
  base/qpsys.c base/qpenv.cpp base/qpsysnix.cpp base/fileionix.cpp base/qplistnix.cpp)

set(QP_ENV_TEST_AREAS env fmt str sync core)
qp_unit_test(qpsys tests/qpsys_test.cpp AREAS ${QP_ENV_TEST_AREAS})
qp_unit_test(fileionix tests/fileionix_test.cpp AREAS ${QP_ENV_TEST_AREAS})
qp_unit_test(qplistnix tests/qplistnix_test.cpp AREAS ${QP_ENV_TEST_AREAS})
