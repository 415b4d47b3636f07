# Area str: the sized strings (characters, text operations, wildcards,
# conversions, encodings, command lines, numbers and dates, u5 folding).
qp_area(str
  base/sstring.c base/sstext.c base/sstextw.c base/ssglob.c base/ssglobw.c
  base/ssconv.c base/ssu5.c base/ssu5tables.c base/sscodec.c base/ssargv.c
  base/ssnumber.c base/ssansinix.cpp)

qp_unit_test(sstring tests/sstring_test.cpp AREAS str core sync)
target_compile_definitions(test_sstring PRIVATE QP_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
qp_unit_test(ssglob tests/ssglob_test.cpp AREAS str core sync)
qp_unit_test(ssconv tests/ssconv_test.cpp AREAS str core sync)
qp_unit_test(sscodec tests/sscodec_test.cpp AREAS str core sync)
qp_unit_test(ssargv tests/ssargv_test.cpp AREAS str core sync)
qp_unit_test(ssnumber tests/ssnumber_test.cpp AREAS str core sync)
qp_fuzz(ssconv tests/fuzz/ssconv_fuzz.cpp AREAS str core sync)
qp_fuzz(ssglob tests/fuzz/ssglob_fuzz.cpp AREAS str core sync)
qp_bench(sstring bench/sstring_bench.cpp AREAS str core sync)
