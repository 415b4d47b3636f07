/*
 * kblock.c - a test module that takes every dynamic character-device major
 * while it is loaded, so that loading qptrace fails at its registration and
 * its teardown of a failed load can be watched.
 */
#include <linux/module.h>
#include <linux/fs.h>

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("qptrace failed-load test: holds all dynamic majors");

static const struct file_operations kblock_fops = {.owner = THIS_MODULE};
static int kblock_majors[512];
static int kblock_count;

static int __init kblock_init(void)
{
    while (kblock_count < (int)ARRAY_SIZE(kblock_majors)) {
        int major = __register_chrdev(0, 0, 1, "qptrace_kblock", &kblock_fops);
        if (major < 0)
            break;
        kblock_majors[kblock_count++] = major;
    }
    printk(KERN_INFO "qptrace_kblock: holding %d majors\n", kblock_count);
    return 0;
}

static void __exit kblock_exit(void)
{
    while (kblock_count > 0)
        __unregister_chrdev(kblock_majors[--kblock_count], 0, 1, "qptrace_kblock");
}

module_init(kblock_init);
module_exit(kblock_exit);
