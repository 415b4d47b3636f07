/*
 * qpcdevlin.h - between the generic character device (qpcdev.c), its Linux
 * side (qpcdevlin.c) and the kernel clients (qpioctllin.c). Kernel only.
 *
 * Every framework device uses the file operations qpcdev_dev_dispatch. They
 * sit in a larger record whose kernel_request entry serves kernel clients
 * with kernel buffers; a kernel client in another module, with its own copy
 * of the framework, recognises a framework file by its ioctl entry's name
 * and checks the record's size before it uses the entry.
 */
#ifndef QPCDEVLIN_H
#define QPCDEVLIN_H

#include "linuxkernel.h"
#include "qpcdev.h"

typedef struct qpcdev_dispatch_t {
    struct file_operations fops;
    uint32_t size; /* sizeof(qpcdev_dispatch_t) */
    /* A request whose record and buffers are kernel memory; positive error. */
    int (*kernel_request)(struct file* file, unsigned code, void* data);
} qpcdev_dispatch_t;

extern const qpcdev_dispatch_t qpcdev_dev_dispatch;
/* The name kernel clients look for. */
#define QPCDEV_IOCTL_ENTRY_NAME "qpcdev_dev_d_ioctl"
long qpcdev_dev_d_ioctl(struct file* file, unsigned int code, unsigned long in_data);

/* Registration, class and node (with the log lines); positive error. A
 * failure leaves what was made for qpcdev_plat_unregister. */
int qpcdev_plat_register(qpcdev_dev_t* dev);
void qpcdev_plat_unregister(qpcdev_dev_t* dev);
/* Puts a registered device at the head of the device list. */
void qpcdev_dev_link(qpcdev_dev_t* dev);

/* Copies from and to the caller's memory: kernel memory for a kernel
 * client, else user memory. 0 or err_fault. */
int qpcdev_plat_copy_in(int kernel_client, void* dest, uint64_t src, size_t size);
int qpcdev_plat_copy_out(int kernel_client, uint64_t dest, const void* src, size_t size);

#endif
