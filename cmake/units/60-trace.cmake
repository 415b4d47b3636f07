# Area trace: the trace core (channel buffers, the anchor, the trace API,
# the request decoder and the export table) with the user-mode host
# callbacks. Area trimp: the client wrappers compiled into every program.
qp_area(trace
  trace/trbuffer.c trace/trdll.c trace/trwide.c trace/trreceive.c trace/trexports.c
  trace/trnewchannelnix.cpp)
qp_area(trimp base/trace/trimp.c)
