// qpinstint.h - the platform side of the install steps (not a public
// header): what base/qpinst.cpp asks of base/qpinstnix.cpp.
#ifndef QPINSTINT_H
#define QPINSTINT_H

#include "qpinst.h"

// Reads at least one and at most max bytes, waiting for data until
// cancel_pin (may be null) fires. *out_got > 0 with 0; 61 at the end of the
// data; 125 when cancelled; else the read error.
int qpinst_read_(int fd, pin_i* cancel_pin, void* data, size_t max, size_t* out_got);

// The current time in 100-ns units since 1601-01-01 (the aside names).
int64_t qpinst_now_(void);

// qpinst_exec without the skip check; returns the error it recorded.
int qpinst_run_(qpinst_stat_t* st, bool check_result, const char* const* argv);

// qpinst_exec_capture that also tells why a command failed: its start
// error, 999 for a non-zero exit code, 12 when memory ran out.
char* qpinst_capture_(malloc_i* ma, const char* const* argv, bool one_line, int* out_err);

// Whether a step is skipped: stop_on_err with an error recorded.
static inline bool qpinst_skipped_(const qpinst_stat_t* st)
{
    return st->stop_on_err && st->err;
}

#endif
