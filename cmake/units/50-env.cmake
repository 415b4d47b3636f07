# Area env: process facts, environment, the path algebra and the file services.
qp_area(env base/qpsys.c)

qp_unit_test(qpsys tests/qpsys_test.cpp AREAS env core sync)
