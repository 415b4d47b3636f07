/*
 * qperr.h - error codes.
 *
 * Inside a program functions return platform codes err_* (the Linux error
 * numbers, the same in user mode and in the kernel, plus three of the
 * system's own: 999, 998, 997). Results that cross process boundaries travel
 * as portable codes perr_* (0 to perr_highest); err_to_perr and perr_to_err
 * translate. 0 is success in both sets.
 */
#ifndef QPERR_H
#define QPERR_H

#ifdef __cplusplus
extern "C" {
#endif

enum {
    err_success = 0,
    err_permission = 1,       /* EPERM */
    err_not_found = 2,        /* ENOENT */
    err_module_not_found = 2,
    err_file_not_found = 2,
    err_folder_not_found = 2,
    err_deleted = 2,
    err_no_more_files = 2,
    err_no_process = 3,       /* ESRCH */
    err_interrupt = 4,        /* EINTR */
    err_crc = 5,              /* EIO */
    err_io = 5,
    err_too_big = 7,          /* E2BIG */
    err_bad_exe_format = 8,   /* ENOEXEC */
    err_bad_fd = 9,           /* EBADF */
    err_no_child = 10,        /* ECHILD */
    err_retry = 11,           /* EAGAIN */
    err_would_block = 11,
    err_no_mem = 12,          /* ENOMEM */
    err_access_denied = 13,   /* EACCES */
    err_is_folder_2 = 13,
    err_not_file = 13,
    err_fault = 14,           /* EFAULT */
    err_busy = 16,            /* EBUSY */
    err_exists = 17,          /* EEXIST */
    err_file_exists = 17,
    err_cross_device = 18,    /* EXDEV */
    err_no_device = 19,       /* ENODEV */
    err_not_folder = 20,      /* ENOTDIR */
    err_is_folder = 21,       /* EISDIR */
    err_bad_parameter = 22,   /* EINVAL */
    err_too_many_files = 24,  /* EMFILE */
    err_not_tty = 25,         /* ENOTTY */
    err_no_space = 28,        /* ENOSPC */
    err_no_space_2 = 28,
    err_seek = 29,            /* ESPIPE */
    err_read_only = 30,       /* EROFS */
    err_broken_pipe = 32,     /* EPIPE */
    err_assert = 33,          /* EDOM */
    err_range = 34,           /* ERANGE */
    err_bad_name = 36,        /* ENAMETOOLONG */
    err_not_implemented = 38, /* ENOSYS */
    err_not_empty = 39,       /* ENOTEMPTY */
    err_loop = 40,            /* ELOOP */
    err_end_of_data = 61,     /* ENODATA */
    err_timeout_2 = 62,       /* ETIME */
    err_bad_format = 71,      /* EPROTO */
    err_overflow = 75,        /* EOVERFLOW */
    err_wrong_version = 84,   /* EILSEQ */
    err_not_socket = 88,      /* ENOTSOCK */
    err_message_size = 90,    /* EMSGSIZE */
    err_no_protocol_option = 92,    /* ENOPROTOOPT */
    err_protocol_not_supported = 93, /* EPROTONOSUPPORT */
    err_socket_not_supported = 94,   /* ESOCKTNOSUPPORT */
    err_not_supported = 95,          /* EOPNOTSUPP */
    err_pf_not_supported = 96,       /* EPFNOSUPPORT */
    err_af_not_supported = 97,       /* EAFNOSUPPORT */
    err_address_in_use = 98,  /* EADDRINUSE */
    err_connection_reset = 104,   /* ECONNRESET */
    err_not_connected = 107,      /* ENOTCONN */
    err_timeout = 110,            /* ETIMEDOUT */
    err_connection_refused = 111, /* ECONNREFUSED */
    err_in_progress = 115,        /* EINPROGRESS */
    err_cancelled = 125,          /* ECANCELED */
    err_cancelled_2 = 125,
    err_not_folder_2 = 997,
    err_folder_not_found_2 = 998,
    err_unsuccessful = 999
};

enum {
    perr_success = 0,
    perr_broken_pipe = 1,
    perr_cancelled = 2,
    perr_cancelled_2 = 2,
    perr_not_implemented = 3,
    perr_wrong_version = 3,
    perr_bad_parameter = 4,
    perr_bad_fd = 4,
    perr_range = 4,
    perr_access_denied = 5,
    perr_is_folder = 5,
    perr_is_folder_2 = 5,
    perr_no_mem = 6,
    perr_unsuccessful = 7,
    perr_assert = 7,
    perr_not_found = 8,
    perr_module_not_found = 8,
    perr_file_not_found = 8,
    perr_folder_not_found = 9,
    perr_folder_not_found_2 = 9,
    perr_exists = 10,
    perr_file_exists = 10,
    perr_no_space = 11,
    perr_no_space_2 = 11,
    perr_bad_name = 12,
    perr_loop = 12,
    perr_not_empty = 13,
    perr_end_of_data = 14,
    perr_not_file = 15,
    perr_deleted = 16,
    perr_bad_format = 17,
    perr_bad_exe_format = 17,
    perr_timeout = 18,
    perr_timeout_2 = 18,
    perr_not_folder = 19,
    perr_not_folder_2 = 19,
    perr_no_more_files = 20,
    perr_interrupt = 21,
    perr_retry = 22,
    perr_would_block = 22,
    perr_crc = 23,
    perr_highest = 23
};

/* The portable code of err: the first table row for err, perr_unsuccessful
 * when there is none. */
int err_to_perr(int err);
/* The platform code of perr; err_unsuccessful outside 0..perr_highest. */
int perr_to_err(int perr);
/* The same without the round-trip check. */
int perr_to_err_(int perr);

#ifdef __cplusplus
}
#endif

#endif
