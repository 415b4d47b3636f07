# Area trace: the trace core (channel buffers, the anchor, the trace API,
# the request decoder and the export table) with the user-mode host
# callbacks. Area trimp: the client wrappers compiled into every program.
qp_area(trace
  trace/trbuffer.c trace/trdll.c trace/trwide.c trace/trreceive.c trace/trexports.c
  trace/trnewchannelnix.cpp)
qp_area(trimp base/trace/trimp.c)

set(QP_TRACE_TEST_AREAS trace trimp fmt str sync core)
qp_unit_test(trbuffer tests/trbuffer_test.cpp AREAS ${QP_TRACE_TEST_AREAS})
# The stress tests of the buffer also run under ThreadSanitizer.
set_tests_properties(trbuffer PROPERTIES LABELS "unit;tsan")
qp_unit_test(trdll tests/trdll_test.cpp AREAS ${QP_TRACE_TEST_AREAS})
qp_unit_test(trimp tests/trimp_test.cpp AREAS ${QP_TRACE_TEST_AREAS})
qp_bench(trbuffer bench/trbuffer_bench.cpp AREAS ${QP_TRACE_TEST_AREAS})
qp_fuzz(trreceive tests/fuzz/trreceive_fuzz.cpp AREAS ${QP_TRACE_TEST_AREAS})
