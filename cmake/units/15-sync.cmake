# Area sync: atomics, locks, holds, semaphores, pins, threads and clocks.
qp_area(sync base/qpsync.c base/qpsync2.c base/qpsyncthread.c base/procsig.c base/qpsyncnix.cpp)

qp_unit_test(qpsync tests/qpsync_test.cpp AREAS sync core)
qp_unit_test(qpsync2 tests/qpsync2_test.cpp AREAS sync core)
qp_unit_test(qpsyncthread tests/qpsyncthread_test.cpp AREAS sync core)
set_tests_properties(qpsync qpsync2 qpsyncthread PROPERTIES LABELS "unit;tsan")
qp_bench(qpsync bench/qpsync_bench.cpp AREAS sync core)
