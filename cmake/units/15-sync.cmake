# Area sync: atomics, locks and the thread primitives.
qp_area(sync base/qpsync.c base/qpsyncnix.cpp)
