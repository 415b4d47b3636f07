# Area core: the debug heap, assertions, pools, error codes, CRC-32, sorting,
# hashing and the bit operations.
qp_area(core
  base/qpbase.c
  base/qpmempool.c
  base/qperr.c
  base/jlcrc32.c
  base/qpsort.c
  base/qpbasenix.cpp)

qp_unit_test(qpbase tests/qpbase_test.cpp AREAS core sync)
set_tests_properties(qpbase PROPERTIES LABELS "unit;tsan")
qp_unit_test(qpmempool tests/qpmempool_test.cpp AREAS core sync)
qp_unit_test(qperr tests/qperr_test.cpp AREAS core sync)
qp_unit_test(jlcrc32 tests/jlcrc32_test.cpp AREAS core sync)
qp_unit_test(bitops tests/bitops_test.cpp AREAS core sync)
qp_unit_test(qpsort tests/qpsort_test.cpp AREAS core sync)
qp_bench(qpbase bench/qpbase_bench.cpp AREAS core sync)
