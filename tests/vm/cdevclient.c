/*
 * cdevclient.c - a test module that is a kernel client of the test owner
 * (cdevtest.c): it opens /dev/qpcdevtest from the kernel, checks the
 * interface with accepted and refused versions and sends controls with
 * kernel buffers, then reports one line per check and a summary:
 *   "qpcdevtest_kclient: FAIL <check> ..."   for each failed check
 *   "qpcdevtest_kclient: <n> passed, <m> failed"
 * Its load fails when a check failed.
 */
#include <linux/module.h>
#include <linux/kernel.h>

#include "qpioctl.h"
#include "cdevtest.h"

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("character-device framework kernel-client test");

static int checks_passed, checks_failed;

static void check(const char* name, int ok, long got)
{
    if (ok) {
        checks_passed++;
        return;
    }
    checks_failed++;
    printk(KERN_ERR "qpcdevtest_kclient: FAIL %s (got %ld)\n", name, got);
}

static void check_interface(void* fh)
{
    int start_code = -5;
    void* direct = NULL;
    int err = qp_ioctl_check_interface(fh, CDEVTEST_INTERFACE, cdevtest_version,
                                       cdevtest_version, &start_code, &direct);

    check("interface accepted", err == 0, err);
    check("interface start code", start_code == cdevtest_start_code, start_code);
    check("interface direct table",
          direct && ((const cdevtest_direct_t*)direct)->magic == cdevtest_direct_magic, 0);

    err = qp_ioctl_check_interface(fh, CDEVTEST_INTERFACE, cdevtest_min_client_version - 1,
                                   cdevtest_version, &start_code, &direct);
    check("client too old refused", err == err_wrong_version, err);
    check("refused leaves no answer", start_code == 0 && direct == NULL, start_code);
    err = qp_ioctl_check_interface(fh, CDEVTEST_INTERFACE, cdevtest_version,
                                   cdevtest_version + 1, &start_code, &direct);
    check("device too old refused", err == err_wrong_version, err);
    err = qp_ioctl_check_interface(fh, CDEVTEST_INTERFACE, cdevtest_version, cdevtest_version,
                                   NULL, NULL);
    check("unasked start code refused", err == err_wrong_version, err);
    err = qp_ioctl_check_interface(fh, "nosuchinterface", cdevtest_version, cdevtest_version,
                                   &start_code, &direct);
    check("unknown interface", err == err_not_found && !direct, err);
}

static void check_echo(void* fh, size_t size)
{
    char* input = (char*)malloc_d(size + 1);
    char* output = (char*)malloc_d(size + 1);
    size_t output_size = 12345, i;
    int err;

    if (!input || !output) {
        check("echo buffers", 0, (long)size);
    } else {
        for (i = 0; i < size; i++)
            input[i] = (char)(i * 13 + 1);
        err = qp_ioctl(fh, cdevtest_echo, input, size, output, size, &output_size);
        check("echo", err == 0 && output_size == size && !memcmp(input, output, size),
              (long)size);
    }
    free_d(input);
    free_d(output);
}

static void check_fill_and_sum(void* fh)
{
    enum { size = 9000, guard = 16 };
    uint8_t* area = (uint8_t*)malloc_d(size + 2 * guard);
    cdevtest_fill_t fill = {0};
    cdevtest_range_t ranges[2];
    uint64_t sum = 0, expected = 0;
    size_t output_size = 0, i;
    int err, exact = 1;

    if (!area) {
        check("fill buffer", 0, 0);
        return;
    }
    memset(area, 0xAA, size + 2 * guard);
    fill.addr = (uint64_t)(uintptr_t)(area + guard);
    fill.size = size;
    fill.split = 4321;
    fill.seed = 77;
    err = qp_ioctl(fh, cdevtest_fill, &fill, sizeof fill, NULL, 0, NULL);
    for (i = 0; i < size; i++)
        exact &= area[guard + i] == cdevtest_pattern(77, i);
    for (i = 0; i < guard; i++)
        exact &= area[i] == 0xAA && area[guard + size + i] == 0xAA;
    check("fill kernel memory", err == 0 && exact, err);

    ranges[0] = (cdevtest_range_t){(uint64_t)(uintptr_t)(area + guard), 100};
    ranges[1] = (cdevtest_range_t){(uint64_t)(uintptr_t)(area + guard + 5000), 3000};
    for (i = 0; i < 100; i++)
        expected += area[guard + i];
    for (i = 0; i < 3000; i++)
        expected += area[guard + 5000 + i];
    err = qp_ioctl(fh, cdevtest_sum, ranges, sizeof ranges, &sum, sizeof sum, &output_size);
    check("sum of kernel ranges", err == 0 && sum == expected && output_size == sizeof sum,
          err);
    free_d(area);
}

static void check_errors(void* fh)
{
    int32_t code = err_end_of_data;
    qp_ioctl_req_t req;
    void* other;
    int err;

    err = qp_ioctl(fh, cdevtest_fail, &code, sizeof code, NULL, 0, NULL);
    check("control error comes back", err == err_end_of_data, err);
    memset(&req, 0, sizeof req);
    err = qp_ioctl_req_(NULL, &req);
    check("no file", err == err_bad_fd, err);
    err = qp_ioctl_open_name(&other, "nosuchdevice", 3);
    check("missing node", err == err_not_found && !other, err);
    err = qp_ioctl_open_name(&other, "null", 2);
    check("open another driver", err == 0, err);
    if (!err) {
        err = qp_ioctl(other, cdevtest_echo, &code, sizeof code, NULL, 0, NULL);
        check("another driver is not a framework device", err == err_not_tty, err);
        qp_ioctl_close_name(other);
    }
    err = qp_ioctl_open_fd(&other, 0);
    check("descriptors are not served", err == err_not_implemented && !other, err);
}

static int __init cdevclient_init(void)
{
    static const size_t echo_sizes[] = {0, 1, 128, 129, 5000};
    void* fh = NULL;
    size_t i;
    int err = module_initialize();

    if (err)
        return -err;
    err = qp_ioctl_open_name(&fh, CDEVTEST_NAME, 2);
    check("open", err == 0, err);
    if (!err) {
        check_interface(fh);
        for (i = 0; i < ARRAY_SIZE(echo_sizes); i++)
            check_echo(fh, echo_sizes[i]);
        check_fill_and_sum(fh);
        check_errors(fh);
        qp_ioctl_close_name(fh);
    }
    printk(KERN_INFO "qpcdevtest_kclient: %d passed, %d failed\n", checks_passed, checks_failed);
    if (checks_failed) {
        module_finalize();
        return -EINVAL;
    }
    return 0;
}

static void __exit cdevclient_exit(void)
{
    module_finalize();
}

module_init(cdevclient_init);
module_exit(cdevclient_exit);
