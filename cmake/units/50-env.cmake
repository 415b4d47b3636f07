# Area env: process facts, environment, the path algebra and the file services.
qp_area(env base/qpsys.c)
