# Area tree: the intrusive ordered trees and the alarm schedule built on them.
qp_area(tree base/rblink.c base/jindex.c base/qpalarm.c base/qpalarmnix.cpp)

qp_unit_test(rblink tests/rblink_test.cpp AREAS tree sync core)
qp_unit_test(jindex tests/jindex_test.cpp AREAS tree sync core)
qp_unit_test(qpalarm tests/qpalarm_test.cpp AREAS tree sync core)
set_tests_properties(qpalarm PROPERTIES LABELS "unit;tsan")

qp_bench(rblink bench/rblink_bench.cpp AREAS tree sync core)
qp_bench(qpalarm bench/qpalarm_bench.cpp AREAS tree sync core)
