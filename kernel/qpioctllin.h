/*
 * qpioctllin.h - between the kernel clients' portable part (qpioctl.c) and
 * their Linux side (qpioctllin.c). Kernel only.
 */
#ifndef QPIOCTLLIN_H
#define QPIOCTLLIN_H

#include "qpcdevlin.h"
#include "qpioctl.h"

/* Sends the interface query (a kernel record) to a framework file. */
int qp_ioctl_get_interface_(void* fh, qp_interface_version_t* version);

#endif
