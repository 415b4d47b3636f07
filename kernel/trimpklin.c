/*
 * trimpklin.c - the attach code of kernel clients: finds the trace driver's
 * export table through /dev/qptrace and attaches the client wrappers to it.
 *
 * Kernel code cannot pass a kernel buffer through the driver's ioctl (user
 * copies refuse kernel addresses), so the table is taken from the file
 * itself: the driver points every open file's private data at its export
 * table. The file is trusted only when its operations belong to the module
 * named "qptrace", and the table only when its tag and versions are those a
 * client accepts. A reference on that module is held from attach to detach,
 * so the table cannot vanish while the wrappers use it.
 *
 * State: traceExports, traceClient (the wrappers', qptraces.h), the driver
 * module held, and traceAttaching, the mark of the one attach in progress
 * (a concurrent attach does not wait for it and reports not attached).
 */
#include <linux/fs.h>
#include <linux/module.h>
#include <linux/string.h>
#include <linux/err.h>
#include <linux/atomic.h>

#include "trimpklin.h"

static const char traceDriverName[] = "qptrace";
static void* traceAttaching;
static struct module* traceDriver;

static int trace_exports_accepted(const TRACEEXPORTS* exports)
{
    return exports && exports->tag == TRACEEXPORTSTAG &&
           exports->version >= TRACECLIENTMINCOMPATVERSION &&
           exports->minCompatVersion <= TRACEVERSION;
}

/* The export table behind an open /dev/qptrace, with a reference on the
 * driver taken; null when the file is not the trace driver's. */
static TRACEEXPORTS* trace_file_exports(struct file* fh, struct module** driver)
{
    const struct file_operations* fops = fh->f_op;
    TRACEEXPORTS* exports;

    /* The open file holds the module of its operations, so its name can
     * be read safely here. */
    if (!fops || !fops->owner || strcmp(module_name(fops->owner), traceDriverName) != 0)
        return NULL;
    exports = (TRACEEXPORTS*)fh->private_data;
    if (!trace_exports_accepted(exports) || !try_module_get(fops->owner))
        return NULL;
    *driver = fops->owner;
    return exports;
}

int trattach(void)
{
    int mark;
    struct file* fh;
    TRACEEXPORTS* exports;
    struct module* driver = NULL;
    TRCLIENT client = 0;

    if (traceExports || cmpxchg(&traceAttaching, NULL, (void*)&mark) != NULL)
        return traceExports != NULL;
    fh = filp_open("/dev/qptrace", O_RDWR, 0);
    if (IS_ERR_OR_NULL(fh)) {
        traceAttaching = NULL;
        return 0;
    }
    exports = trace_file_exports(fh, &driver);
    QP_ASSERT((filp_close(fh, 0)) == (0));
    if (exports && exports->trattach)
        client = exports->trattach();
    if (client) {
        traceClient = client;
        traceDriver = driver;
        traceExports = exports;
    } else if (driver) {
        module_put(driver);
    }
    traceAttaching = NULL;
    return traceExports != NULL;
}

void trdetach(void)
{
    if (traceExports && traceClient && traceExports->trdetach)
        traceExports->trdetach(traceClient);
    traceClient = 0;
    traceExports = NULL;
    if (traceDriver) {
        module_put(traceDriver);
        traceDriver = NULL;
    }
}

/* Kernel clients attach explicitly; the wrappers only ask. */
int trautoattach(void)
{
    return traceExports != NULL;
}
