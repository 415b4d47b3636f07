/*
 * qperr.c - translation between platform and portable error codes.
 *
 * err_to_perr_table is searched front to back, so where several platform
 * codes share a portable one the order decides nothing, and where one
 * platform code appears for several portable codes (2 for the not-found
 * family, 13 for access and not-a-file) the first row wins. perr_to_err_table
 * is indexed by the portable code. No state, no locks.
 */
#include "qpbase.h"
#include "qperr.h"

typedef struct err_perr_t {
    int err;
    int perr;
} err_perr_t;

static const err_perr_t err_to_perr_table[] = {
    {err_success, perr_success},
    {err_broken_pipe, perr_broken_pipe},
    {err_cancelled, perr_cancelled},
    {err_cancelled_2, perr_cancelled_2},
    {err_not_implemented, perr_not_implemented},
    {err_wrong_version, perr_wrong_version},
    {err_bad_parameter, perr_bad_parameter},
    {err_bad_fd, perr_bad_fd},
    {err_range, perr_range},
    {err_access_denied, perr_access_denied},
    {err_is_folder, perr_is_folder},
    {err_is_folder_2, perr_is_folder_2},
    {err_no_mem, perr_no_mem},
    {err_unsuccessful, perr_unsuccessful},
    {err_assert, perr_assert},
    {err_not_found, perr_not_found},
    {err_module_not_found, perr_module_not_found},
    {err_file_not_found, perr_file_not_found},
    {err_folder_not_found, perr_folder_not_found},
    {err_folder_not_found_2, perr_folder_not_found_2},
    {err_exists, perr_exists},
    {err_file_exists, perr_file_exists},
    {err_no_space, perr_no_space},
    {err_no_space_2, perr_no_space_2},
    {err_bad_name, perr_bad_name},
    {err_loop, perr_loop},
    {err_not_empty, perr_not_empty},
    {err_end_of_data, perr_end_of_data},
    {err_not_file, perr_not_file},
    {err_deleted, perr_deleted},
    {err_bad_format, perr_bad_format},
    {err_bad_exe_format, perr_bad_exe_format},
    {err_timeout, perr_timeout},
    {err_timeout_2, perr_timeout_2},
    {err_not_folder, perr_not_folder},
    {err_not_folder_2, perr_not_folder_2},
    {err_no_more_files, perr_no_more_files},
    {err_interrupt, perr_interrupt},
    {err_retry, perr_retry},
    {err_would_block, perr_would_block},
    {err_crc, perr_crc},
    /* the socket not-supported family */
    {err_not_supported, perr_not_implemented},
    {err_no_protocol_option, perr_not_implemented},
    {err_protocol_not_supported, perr_not_implemented},
    {err_socket_not_supported, perr_not_implemented},
    {err_pf_not_supported, perr_not_implemented},
    {err_af_not_supported, perr_not_implemented},
};

static const int perr_to_err_table[perr_highest + 1] = {
    0,                   /* success */
    err_broken_pipe,     /* perr_broken_pipe */
    err_cancelled,       /* perr_cancelled */
    err_not_implemented, /* perr_not_implemented */
    err_bad_parameter,   /* perr_bad_parameter */
    err_access_denied,   /* perr_access_denied */
    err_no_mem,          /* perr_no_mem */
    err_unsuccessful,    /* perr_unsuccessful */
    err_not_found,       /* perr_not_found */
    err_folder_not_found, /* perr_folder_not_found */
    err_exists,          /* perr_exists */
    err_no_space,        /* perr_no_space */
    err_bad_name,        /* perr_bad_name */
    err_not_empty,       /* perr_not_empty */
    err_end_of_data,     /* perr_end_of_data */
    err_not_file,        /* perr_not_file */
    err_deleted,         /* perr_deleted */
    err_bad_format,      /* perr_bad_format */
    err_timeout,         /* perr_timeout */
    err_not_folder,      /* perr_not_folder */
    err_no_more_files,   /* perr_no_more_files */
    err_interrupt,       /* perr_interrupt */
    err_retry,           /* perr_retry */
    err_crc,             /* perr_crc */
};

int err_to_perr(int err)
{
    size_t i;
    for (i = 0; i < sizeof err_to_perr_table / sizeof err_to_perr_table[0]; i++) {
        if (err_to_perr_table[i].err == err) {
            return err_to_perr_table[i].perr;
        }
    }
    return perr_unsuccessful;
}

int perr_to_err_(int perr)
{
    QP_ASSERT(perr_to_err_table[ perr_highest] != 0);
    if (perr < 0 || perr > perr_highest) {
        return err_unsuccessful;
    }
    return perr_to_err_table[perr];
}

int perr_to_err(int perr)
{
    int err = perr_to_err_(perr);
    QP_ASSERT(err_to_perr( err) == perr || perr_to_err_( err_to_perr( err)) == err);
    return err;
}
