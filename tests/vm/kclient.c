/*
 * kclient.c - a test module that attaches to the trace driver as a kernel
 * client, prints one line into channel "kclient" through the client
 * wrappers and detaches when it unloads. User space reads the line back.
 */
#include <linux/module.h>
#include <linux/kernel.h>

#include "trimpklin.h"

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("qptrace kernel-client test");

/* The stop of the base runtime, for the attach code's assertions. */
void qp_assert_failed(const char* file, int line, const char* expr)
{
    panic("ASSERT: %s:%i \"%s\"\n", file, line, expr ? expr : "");
}

static int __init kclient_init(void)
{
    TRCHANNEL channel;

    if (!trattach()) {
        printk(KERN_ERR "qptrace_kclient: attach failed\n");
        return -ENODEV;
    }
    channel = tropen("kclient");
    trprint(channel, "kernel client attached through the export table\n");
    printk(KERN_INFO "qptrace_kclient: attached, channel %ld\n", (long)channel);
    return 0;
}

static void __exit kclient_exit(void)
{
    trdetach();
    printk(KERN_INFO "qptrace_kclient: detached\n");
}

module_init(kclient_init);
module_exit(kclient_exit);
