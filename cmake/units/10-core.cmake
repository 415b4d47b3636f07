# Area core: the debug heap, assertions, pools, error codes, CRC-32 and the
# bit operations.
qp_area(core base/qpbase.c base/qpmempool.c base/qpbasenix.cpp)

qp_unit_test(qpbase tests/qpbase_test.cpp AREAS core sync)
