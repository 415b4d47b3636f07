/*
 * qpremotelin.c - the kernel side of the remote protocol.
 *
 * The kernel build carries the value packing (base/qpremote2.c) but no
 * remote connections: the allocating send behind remote_send_format has no
 * transport here and refuses every request. No state, no locks.
 */
#include "qpremote.h"
#include "qperr.h"

int remote_send_ma(remote_i* rm, malloc_i* ma, pin_i* cancel_pin, int timeout, int code,
                   const void* input, size_t input_size, int* out_result, void** out_output,
                   size_t* out_output_size)
{
    (void)rm, (void)ma, (void)cancel_pin, (void)timeout, (void)code, (void)input,
        (void)input_size;
    *out_result = 0;
    *out_output = 0;
    *out_output_size = 0;
    return err_not_implemented;
}
