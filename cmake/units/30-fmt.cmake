# Area fmt: the format engine (ss8formatvn, sswformatvn and their forms).
qp_area(fmt base/ssformat.c)

qp_unit_test(ssformat tests/ssformat_test.cpp AREAS fmt str core sync)
qp_bench(ssformat bench/ssformat_bench.cpp AREAS fmt str core sync)
qp_fuzz(ssformat tests/fuzz/ssformat_fuzz.cpp AREAS fmt str core sync)
