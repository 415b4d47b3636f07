# Area fmt: the format engine (ss8formatvn, sswformatvn and their forms).
qp_area(fmt base/ssformat.c)
