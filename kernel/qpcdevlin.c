/*
 * qpcdevlin.c - the Linux side of the generic character device: region,
 * class and node of a device, its file operations, copies from and to the
 * caller, and the entry of kernel clients.
 *
 * Each device registers 256 minors under a dynamic major; its node is minor
 * 0 (mode 0666). An open finds the device by the node's number, so a node
 * made by hand for another minor is refused with 32. A file's private data
 * is its per-file object from open to release.
 *
 * User callers are never kernel clients: their ioctl arguments and every
 * address in their records go through the user-copy functions. Kernel
 * clients reach kernel_request only by a direct call (qpioctllin.c).
 */
#include "qpcdevlin.h"

#include <linux/compat.h>

static char* qp_cdev_devnode(QP_DEVNODE_DEVICE* device, umode_t* mode)
{
    (void)device;
    if (mode)
        *mode = 0666;
    return NULL;
}

int qpcdev_plat_register(qpcdev_dev_t* dev)
{
    int major = __register_chrdev(0, 0, 256, dev->dev_name, &qpcdev_dev_dispatch.fops);
    struct class* dev_class;
    struct device* device;

    if (major < 0) {
        dev->dev_major = 0;
        printk(KERN_ERR "Failed to register device %s err %d\n", dev->dev_name, -major);
        return -major;
    }
    dev->dev_major = major;
    dev->dev_number = MKDEV(major, dev->dev_minor);
    dev_class = qp_class_create(dev->dev_name);
    if (IS_ERR_OR_NULL(dev_class)) {
        printk(KERN_ERR "Failed to create device class %s\n", dev->dev_name);
        return dev_class ? -PTR_ERR(dev_class) : err_no_mem;
    }
    dev->dev_class = dev_class;
    dev_class->devnode = qp_cdev_devnode;
    qpcdev_dev_link(dev);
    device = device_create(dev_class, NULL, dev->dev_number, NULL, "%s", dev->dev_name);
    if (IS_ERR_OR_NULL(device)) {
        printk(KERN_ERR "Failed to create device 0x%X %s\n", dev->dev_number, dev->dev_name);
        return device ? -PTR_ERR(device) : err_no_mem;
    }
    dev->base = device;
    printk(KERN_ERR "Create device 0x%X %s\n", dev->dev_number, dev->dev_name);
    return 0;
}

void qpcdev_plat_unregister(qpcdev_dev_t* dev)
{
    if (dev->base)
        device_destroy((struct class*)dev->dev_class, dev->dev_number);
    dev->base = NULL;
    if (dev->dev_class)
        class_destroy((struct class*)dev->dev_class);
    dev->dev_class = NULL;
    if (dev->dev_major > 0)
        __unregister_chrdev(dev->dev_major, 0, 256, dev->dev_name);
}

int qpcdev_plat_copy_in(int kernel_client, void* dest, uint64_t src, size_t size)
{
    if (kernel_client) {
        memcpy(dest, (const void*)(uintptr_t)src, size);
        return 0;
    }
    return copy_from_user(dest, u64_to_user_ptr(src), size) ? err_fault : 0;
}

int qpcdev_plat_copy_out(int kernel_client, uint64_t dest, const void* src, size_t size)
{
    if (kernel_client) {
        memcpy((void*)(uintptr_t)dest, src, size);
        return 0;
    }
    return copy_to_user(u64_to_user_ptr(dest), src, size) ? err_fault : 0;
}

/* ---- file operations ----------------------------------------------------------- */

static int qpcdev_dev_d_open(struct inode* vn, struct file* file)
{
    qpcdev_sock_t* so;
    int err = qpcdev_open(vn->i_rdev, vn, file, &so);

    if (!err)
        file->private_data = so;
    return -err;
}

static int qpcdev_dev_d_release(struct inode* vn, struct file* file)
{
    qpcdev_sock_t* so = (qpcdev_sock_t*)file->private_data;

    if (so) {
        file->private_data = NULL;
        qpcdev_release_file(so, vn, file);
    }
    return 0;
}

/* Not a static function: kernel clients in other modules find it by name. */
long qpcdev_dev_d_ioctl(struct file* file, unsigned int code, unsigned long in_data)
{
    qpcdev_sock_t* so = (qpcdev_sock_t*)file->private_data;

    return -qpcdev_request(so->dev, so, code, (uint64_t)in_data, 0);
}

static ssize_t qpcdev_dev_d_read(struct file* file, char __user* data, size_t size, loff_t* pos)
{
    (void)file;
    (void)data;
    (void)size;
    (void)pos;
    return -err_not_implemented;
}

static ssize_t qpcdev_dev_d_write(struct file* file, const char __user* data, size_t size,
                                  loff_t* pos)
{
    (void)file;
    (void)data;
    (void)size;
    (void)pos;
    return -err_not_implemented;
}

static int qpcdev_kernel_request(struct file* file, unsigned code, void* data)
{
    qpcdev_sock_t* so = (qpcdev_sock_t*)file->private_data;

    return qpcdev_request(so->dev, so, code, (uint64_t)(uintptr_t)data, 1);
}

const qpcdev_dispatch_t qpcdev_dev_dispatch = {
    .fops =
        {
            .owner = THIS_MODULE,
            .llseek = noop_llseek,
            .read = qpcdev_dev_d_read,
            .write = qpcdev_dev_d_write,
            .unlocked_ioctl = qpcdev_dev_d_ioctl,
            .compat_ioctl = compat_ptr_ioctl,
            .open = qpcdev_dev_d_open,
            .release = qpcdev_dev_d_release,
        },
    .size = sizeof(qpcdev_dispatch_t),
    .kernel_request = qpcdev_kernel_request,
};
