/*
 * linuxkernel.h - the kernel interfaces the module's own units use, with
 * the differences between the kernel releases it builds for (5.10 to 6.x)
 * kept here, so that the units themselves read the same on every release.
 *
 * - class_create lost its module argument in 6.4;
 * - the class's devnode callback takes a const device since 6.2;
 * - short-lived page mappings are kmap_local_page since 5.11 (before it,
 *   kmap_atomic, which disables preemption as well).
 */
#ifndef LINUXKERNEL_H
#define LINUXKERNEL_H

#include <linux/version.h>
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/device.h>
#include <linux/uaccess.h>
#include <linux/capability.h>
#include <linux/sched.h>
#include <linux/slab.h>
#include <linux/mm.h>
#include <linux/err.h>
#include <linux/errno.h>
#include <linux/string.h>
#include <linux/ratelimit.h>
#include <linux/wait.h>

#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 4, 0)
#define qp_class_create(name) class_create(name)
#else
#define qp_class_create(name) class_create(THIS_MODULE, name)
#endif

#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 2, 0)
#define QP_DEVNODE_DEVICE const struct device
#else
#define QP_DEVNODE_DEVICE struct device
#endif

#include <linux/highmem.h>
#if LINUX_VERSION_CODE >= KERNEL_VERSION(5, 11, 0)
#define qp_kmap(page) kmap_local_page(page)
#define qp_kunmap(addr) kunmap_local(addr)
#else
#define qp_kmap(page) kmap_atomic(page)
#define qp_kunmap(addr) kunmap_atomic(addr)
#endif

/* The kernel's own code for an unsupported operation; it reaches user mode
 * as errno 524. */
#ifndef ENOTSUPP
#define ENOTSUPP 524
#endif

#endif
