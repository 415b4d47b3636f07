# Area tree: the intrusive ordered trees and the alarm schedule built on them.
qp_area(tree base/rblink.c base/jindex.c)

qp_unit_test(rblink tests/rblink_test.cpp AREAS tree sync core)
qp_unit_test(jindex tests/jindex_test.cpp AREAS tree sync core)

qp_bench(rblink bench/rblink_bench.cpp AREAS tree sync core)
