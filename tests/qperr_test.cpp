// Tests of the error-code translation (base/qperr.c).
#include <gtest/gtest.h>

#include <cerrno>

#include "qpbase.h"
#include "qperr.h"

TEST(ErrorCodes, PlatformToPortable)
{
    EXPECT_EQ(err_to_perr(0), 0);
    EXPECT_EQ(err_to_perr(2), 8);
    EXPECT_EQ(err_to_perr(13), 5);
    EXPECT_EQ(err_to_perr(11), 22);
    EXPECT_EQ(err_to_perr(95), 3);
    EXPECT_EQ(err_to_perr(12345), 7);
    EXPECT_EQ(err_to_perr(-1), 7);
    EXPECT_EQ(err_to_perr(998), perr_folder_not_found);
    EXPECT_EQ(err_to_perr(997), perr_not_folder);
    EXPECT_EQ(err_to_perr(ETIME), perr_timeout);
    EXPECT_EQ(err_to_perr(ENOEXEC), perr_bad_exe_format);
    for (int socket_err : {EOPNOTSUPP, ENOPROTOOPT, EPROTONOSUPPORT, ESOCKTNOSUPPORT, EPFNOSUPPORT,
                           EAFNOSUPPORT}) {
        EXPECT_EQ(err_to_perr(socket_err), perr_not_implemented) << socket_err;
    }
}

TEST(ErrorCodes, PortableToPlatform)
{
    static const int expected[perr_highest + 1] = {0,  32, 125, 38, 22, 13, 12, 999, 2,  2,  17, 28,
                                                   36, 39, 61,  13, 2,  71, 110, 20, 2, 4, 11, 5};
    for (int perr = 0; perr <= perr_highest; perr++) {
        EXPECT_EQ(perr_to_err(perr), expected[perr]) << perr;
    }
    EXPECT_EQ(perr_to_err(9), 2);
    EXPECT_EQ(perr_to_err(24), 999);
    EXPECT_EQ(perr_to_err(-5), 999);
}

// The platform names carry the Linux numbers.
TEST(ErrorCodes, NamesAreLinuxNumbers)
{
    EXPECT_EQ(err_not_found, ENOENT);
    EXPECT_EQ(err_no_mem, ENOMEM);
    EXPECT_EQ(err_would_block, EAGAIN);
    EXPECT_EQ(err_cancelled, ECANCELED);
    EXPECT_EQ(err_timeout, ETIMEDOUT);
    EXPECT_EQ(err_bad_name, ENAMETOOLONG);
    EXPECT_EQ(err_wrong_version, EILSEQ);
}
